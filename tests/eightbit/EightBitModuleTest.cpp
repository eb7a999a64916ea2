// The 8-bit boards behind the module's exports, end to end on the sample
// programs sdcc built: the module's non-ARM paths (the family from the
// front-end path, memory spaces chosen through the map, breakpoints at the
// exact address, the PC - 1 check after a stop) meet real code in several
// memory spaces.
//
// The front-end's ids are not the host's indices (registers 100 + index,
// memory spaces 10 + index), so that only a lookup by name finds them; each
// transfer is checked against the core itself too.
#include <gtest/gtest.h>

#include <z80ex/z80ex_dasm.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/Boards.h"
#include "sim/s51/S51Core.h"
#include "sim/z80/Z80Core.h"
#include "tests/eightbit/ChildProcesses.h"
#include "tests/support/GdiCalls.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Mcs51Disassembler.h"
#include "tools/orxdbg/Session.h"

namespace {

using namespace gditest;

constexpr int32_t kRegisterIdBase = 100;
constexpr uint32_t kSpaceIdBase = 10;

// The wait's poll callback: counts the polls and, when asked, cancels the
// wait after a number of them; a run that never stops is cancelled after
// 10 s instead of hanging the test.
std::atomic<int> g_polls{0};
std::atomic<int> g_cancelAfter{0};
std::atomic<int> g_killAfter{0};
std::atomic<pid_t> g_victim{-1};
void DI_CDECL OnPoll() {
    const int polls = ++g_polls;
    if (g_killAfter > 0 && polls == g_killAfter) ::kill(g_victim, SIGKILL);
    if ((g_cancelAfter > 0 && polls >= g_cancelAfter) || polls > 1000) DiGdiCancel();
}

struct BoardCase {
    const char* board;
    const char* image;
    uint32_t scratch;  // an address that every memory space has, free for the test
};

std::shared_ptr<sim::ProcessorCore> MakeCore(const sim::Board& board) {
    if (board.kind == sim::CoreKind::Z80) return std::make_shared<sim::Z80Core>();
    if (board.kind == sim::CoreKind::S51) return std::make_shared<sim::S51Core>();
    return nullptr;
}

class EightBitThroughModule : public GdiSessionTest, public ::testing::WithParamInterface<BoardCase> {
protected:
    void SetUp() override {
        GdiSessionTest::SetUp();
        ASSERT_TRUE(eightbit::ChildrenNamed("s51").empty()) << "an earlier test left s51 running";
        board = sim::FindBoard(GetParam().board);
        ASSERT_NE(board, nullptr);
        orxdbg::SetCurrentBoard(*board);
        std::string error;
        ASSERT_TRUE(orxdbg::LoadImageFile(GetParam().image, image, error)) << error;
        core = MakeCore(*board);
        ASSERT_NE(core, nullptr);
        host.AddProcessor("U1", core);
        g_polls = 0;
        g_cancelAfter = 0;
        g_killAfter = 0;
    }

    int32_t Reg(const char* name) const {
        for (std::size_t i = 0; i < board->arch.registers.size(); ++i)
            if (std::string(board->arch.registers[i].name) == name) return kRegisterIdBase + static_cast<int32_t>(i);
        ADD_FAILURE() << "no register " << name;
        return -1;
    }
    int32_t PcId() const { return kRegisterIdBase + board->arch.RegisterIndex(sim::RegisterRole::Pc); }
    uint32_t SpaceId(const std::string& name) const {
        const auto names = sim::MemorySpaceNames(*board);
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return kSpaceIdBase + static_cast<uint32_t>(i);
        ADD_FAILURE() << "no memory space " << name;
        return 0;
    }
    // The host's index of a space, for reading the core directly.
    int32_t CoreSpace(uint32_t id) const { return static_cast<int32_t>(id - kSpaceIdBase); }
    uint32_t Symbol(const char* name) const {
        const orxdbg::Symbol* s = image.symbols.Find(name);
        EXPECT_NE(s, nullptr) << name;
        return s ? static_cast<uint32_t>(s->address) : 0;
    }
    uint32_t SymbolSpace(const char* name) const {
        const orxdbg::Symbol* s = image.symbols.Find(name);
        return s ? kSpaceIdBase + s->space : 0;
    }

    // Opens the instance as the board's front-end with the board's maps.
    void Open() {
        const char* argv[] = {board->arch.frontEndPath, "U1"};
        ASSERT_EQ(DiGdiOpen(0, 0, 2, argv, &OnPoll), GdiOk);
        std::vector<GdiMapEntry> registers;
        for (std::size_t i = 0; i < board->arch.registers.size(); ++i)
            registers.push_back(Entry(board->arch.registers[i].name, kRegisterIdBase + static_cast<int32_t>(i)));
        ASSERT_EQ(DiGdiInitRegisterMap(static_cast<int32_t>(registers.size()), registers.data(), PcId()), GdiOk);
        const auto names = sim::MemorySpaceNames(*board);
        std::vector<GdiMapEntry> spaces;
        for (std::size_t i = 0; i < names.size(); ++i)
            spaces.push_back(Entry(names[i].c_str(), static_cast<int32_t>(kSpaceIdBase + i)));
        ASSERT_EQ(DiGdiInitMemorySpaceMap(static_cast<int32_t>(spaces.size()), spaces.data()), GdiOk);
    }

    // The image into the first space (code), as a front-end downloads it.
    void Download() {
        const uint32_t space = kSpaceIdBase;
        ASSERT_EQ(MemoryDownload(0, Format(0, space, 0), nullptr), GdiOk);
        for (const orxdbg::Segment& s : image.segments)
            for (std::size_t at = 0; at < s.bytes.size(); at += 1024) {
                const auto n = static_cast<uint32_t>(std::min<std::size_t>(1024, s.bytes.size() - at));
                ASSERT_EQ(MemoryDownload(1, Format(n, space, s.address + at), s.bytes.data() + at), GdiOk);
            }
        ASSERT_EQ(MemoryDownload(2, Format(0, space, 0), nullptr), GdiOk);
    }

    static uint32_t ReadRegister(int32_t id) {
        GdiValue value{};
        EXPECT_EQ(DiRegisterRead(id, &value), GdiOk);
        EXPECT_EQ(StatusOf(value), static_cast<uint32_t>(ValueValid)) << "register id " << id;
        return GatherWord(value);
    }
    static void WriteRegister(int32_t id, uint32_t word) {
        GdiValue value{};
        SpreadWord(value, word);
        ASSERT_EQ(DiRegisterWrite(id, value), GdiOk);
    }
    static std::vector<uint8_t> ReadMemory(uint32_t space, uint32_t address, uint32_t count) {
        std::vector<GdiValue> values(count);
        EXPECT_EQ(DiMemoryRead(Address(space, address), values.data(), count), GdiOk);
        std::vector<uint8_t> bytes;
        for (const GdiValue& v : values) {
            EXPECT_EQ(StatusOf(v), static_cast<uint32_t>(ValueValid));
            bytes.push_back(v.bytes[7]);
        }
        return bytes;
    }
    static void WriteMemory(uint32_t space, uint32_t address, const std::vector<uint8_t>& bytes) {
        std::vector<GdiValue> values;
        for (uint8_t b : bytes) values.push_back(Value({0, 0, 0, 0, 0, 0, 0, b}));
        ASSERT_EQ(DiMemoryWrite(Address(space, address), values.data(), static_cast<uint32_t>(values.size())), GdiOk);
    }
    std::vector<uint8_t> CoreBytes(uint32_t space, uint32_t address, uint32_t count) {
        std::vector<uint32_t> units(count);
        EXPECT_TRUE(core->ReadBlock(CoreSpace(space), units.data(), address, count));
        return {units.begin(), units.end()};
    }
    static uint32_t Breakpoint(uint32_t address) {
        GdiBreakpointResult result{};
        EXPECT_EQ(DiBreakpointSet(&result, gditest::Breakpoint(1, address)), GdiOk);
        return LoadLE32(result.breakpointId);
    }
    static GdiExitStatus Status() {
        GdiExitStatus status{};
        EXPECT_EQ(DiExecGetStatus(&status), GdiOk);
        return status;
    }
    static uint32_t Little32(const std::vector<uint8_t>& b) {
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }

    // The address of the instruction after the one at pc.
    uint32_t NextInstruction(uint32_t pc) {
        const std::vector<uint8_t> code = CoreBytes(kSpaceIdBase, pc, 4);
        if (board->kind == sim::CoreKind::Z80) {
            char text[64];
            int t1 = 0, t2 = 0;
            struct Code {
                const std::vector<uint8_t>* bytes;
                uint32_t start;
            } at{&code, pc};
            const int size = z80ex_dasm(
                text, sizeof text, 0, &t1, &t2,
                [](Z80EX_WORD address, void* user) -> Z80EX_BYTE {
                    const auto* c = static_cast<const Code*>(user);
                    return (*c->bytes)[static_cast<uint16_t>(address - c->start) & 3];
                },
                static_cast<Z80EX_WORD>(pc), &at);
            return pc + static_cast<uint32_t>(size);
        }
        return pc + orxdbg::Mcs51InstructionSize(code[0]);
    }

    void TearDown() override {
        core.reset();
        GdiSessionTest::TearDown();  // the host lets its processors go
        EXPECT_TRUE(eightbit::ChildrenNamed("s51").empty()) << "s51 outlived the test";
    }

    const sim::Board* board = nullptr;
    orxdbg::Image image;
    std::shared_ptr<sim::ProcessorCore> core;
    ScopedPollPeriod poll{"5"};
};

TEST_P(EightBitThroughModule, DownloadResetBreakpointContinueAndStep) {
    FrontEnd([&] {
        Open();
        Download();
        for (const orxdbg::Segment& s : image.segments)
            EXPECT_EQ(CoreBytes(kSpaceIdBase, static_cast<uint32_t>(s.address), static_cast<uint32_t>(s.bytes.size())),
                      s.bytes)
                << "segment at " << s.address;
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        EXPECT_EQ(ReadRegister(PcId()), 0u) << "the reset vector";
        GdiExitStatus status = Status();
        EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseStopped));

        // The run stops on the breakpoint, before its instruction: the
        // module's look one byte back finds nothing and the PC stays.
        const uint32_t done = Symbol("done");
        EXPECT_EQ(Breakpoint(done), done) << "a breakpoint's id is its address";
        ASSERT_EQ(DiExecContinue(), GdiOk);
        status = Status();
        EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseBreakpoint));
        EXPECT_EQ(LoadLE32(status.breakpointId), done);
        EXPECT_EQ(ReadRegister(PcId()), done);
        const uint32_t counter = Symbol("counter"), doneCount = Symbol("done_count");
        EXPECT_EQ(Little32(ReadMemory(SymbolSpace("counter"), counter, 4)), 3u) << "rounds is 3";
        EXPECT_EQ(ReadMemory(SymbolSpace("done_count"), doneCount, 1)[0], 0u);

        // Continuing from the breakpoint steps off it first, runs the next
        // three rounds and meets it again.
        ASSERT_EQ(DiExecContinue(), GdiOk);
        EXPECT_EQ(LoadLE32(Status().cause), static_cast<uint32_t>(CauseBreakpoint));
        EXPECT_EQ(ReadRegister(PcId()), done);
        EXPECT_EQ(ReadMemory(SymbolSpace("done_count"), doneCount, 1)[0], 1u);

        // A single step executes one whole instruction, the breakpoint
        // under the PC lifted for it and set again.
        const uint32_t next = NextInstruction(done);
        ASSERT_EQ(DiExecSingleStep(1), GdiOk);
        EXPECT_EQ(ReadRegister(PcId()), next);
        EXPECT_EQ(LoadLE32(Status().cause), static_cast<uint32_t>(CauseSingleStep));
        EXPECT_TRUE(core->HasBreakpoint(*core->BreakpointSpaceId(), done));
        ASSERT_EQ(DiBreakpointClear(done), GdiOk);
        EXPECT_FALSE(core->HasBreakpoint(*core->BreakpointSpaceId(), done));
    });
}

// Breakpoints on two instructions in a row, the first one byte long: the
// stop on the second is one byte past the first breakpoint too, and only a
// PC one past the breakpoint that stopped the run tells them apart. Each is
// reported in turn and the program goes on.
TEST_P(EightBitThroughModule, BreakpointsOnNeighbouringInstructionsStopInTurn) {
    FrontEnd([&] {
        Open();
        Download();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        const uint32_t done = Symbol("done"), end = done + static_cast<uint32_t>(image.symbols.Find("done")->size);
        uint32_t first = done;
        while (NextInstruction(first) != first + 1 && first < end) first = NextInstruction(first);
        ASSERT_LT(first + 1, end) << "done has a one-byte instruction with one after it";
        Breakpoint(first);
        Breakpoint(first + 1);
        const uint32_t doneCount = Symbol("done_count"), space = SymbolSpace("done_count");
        uint32_t expected[] = {first, first + 1, first, first + 1};
        std::vector<uint8_t> counts;
        for (uint32_t at : expected) {
            ASSERT_EQ(DiExecContinue(), GdiOk);
            const GdiExitStatus status = Status();
            EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseBreakpoint));
            EXPECT_EQ(LoadLE32(status.breakpointId), at);
            EXPECT_EQ(ReadRegister(PcId()), at);
            counts.push_back(ReadMemory(space, doneCount, 1)[0]);
        }
        EXPECT_EQ(counts[2], counts[0] + 1) << "one call of done further: each instruction ran once";
    });
}

TEST_P(EightBitThroughModule, EveryRegisterWrittenReadsBack) {
    FrontEnd([&] {
        Open();
        Download();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        // Distinct values in each register's width, all written before any
        // is read back: two registers that share storage show.
        std::vector<uint32_t> written;
        for (std::size_t i = 0; i < board->arch.registers.size(); ++i) {
            const sim::BoardRegister& r = board->arch.registers[i];
            const uint32_t width = ~r.writeClears;
            uint32_t value = (0x9e37u * static_cast<uint32_t>(i + 1) + 0x41u) & width;
            if (std::string(r.name) == "IM") value = 2;
            if (std::string(r.name) == "PSW") value = 0x08;  // register bank 1
            if (std::string(r.name) == "SP") value = 0x61 & width;
            written.push_back(value);
            WriteRegister(kRegisterIdBase + static_cast<int32_t>(i), value);
        }
        for (std::size_t i = 0; i < board->arch.registers.size(); ++i)
            EXPECT_EQ(ReadRegister(kRegisterIdBase + static_cast<int32_t>(i)), written[i]) << board->arch.registers[i].name;
        EXPECT_EQ(core->ReadRegister(core->PcIndex()), written[static_cast<std::size_t>(PcId() - kRegisterIdBase)]);
        // The 8051's R0..R7 are the internal RAM of the bank PSW selects.
        if (board->kind == sim::CoreKind::S51) {
            const std::vector<uint8_t> bank = ReadMemory(SpaceId("IDATA"), 0x08, 8);
            for (uint32_t n = 0; n < 8; ++n)
                EXPECT_EQ(bank[n], ReadRegister(Reg(("R" + std::to_string(n)).c_str()))) << "R" << n;
        }
    });
}

// The same address in every space, each written with a value of its own:
// the module must hand each to the space its map names.
TEST_P(EightBitThroughModule, EachMemorySpaceWrittenReadsBackInItsOwnSpace) {
    FrontEnd([&] {
        Open();
        const uint32_t address = GetParam().scratch;
        const auto names = sim::MemorySpaceNames(*board);
        auto pattern = [](std::size_t space) {
            return std::vector<uint8_t>{static_cast<uint8_t>(0x31 + 0x10 * space), static_cast<uint8_t>(0x32 + 0x10 * space)};
        };
        for (std::size_t i = 0; i < names.size(); ++i) WriteMemory(SpaceId(names[i]), address, pattern(i));
        for (std::size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE(names[i]);
            EXPECT_EQ(ReadMemory(SpaceId(names[i]), address, 2), pattern(i));
            EXPECT_EQ(CoreBytes(SpaceId(names[i]), address, 2), pattern(i)) << "the space the map names, not another";
        }
    });
}

TEST_P(EightBitThroughModule, AStopEndsAFreeRun) {
    FrontEnd([&] {
        Open();
        Download();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        // The program counts for ever once rounds is out of reach (written
        // in main: the start-up code sets it); the front-end gives up
        // waiting and halts it, as orxdbg's Ctrl-C does.
        const uint32_t main = Symbol("main");
        Breakpoint(main);
        ASSERT_EQ(DiExecContinue(), GdiOk);
        ASSERT_EQ(ReadRegister(PcId()), main);
        ASSERT_EQ(DiBreakpointClear(main), GdiOk);
        const uint32_t rounds = Symbol("rounds");
        WriteMemory(SymbolSpace("rounds"), rounds, {0xff, 0xff, 0xff, 0x7f});
        g_cancelAfter = 4;
        EXPECT_EQ(DiExecContinue(), GdiFailed) << "cancelled";
        GdiExitStatus status = Status();
        EXPECT_EQ(LoadLE32(status.cause), 0u) << "still running";
        ASSERT_EQ(DiExecStop(), GdiOk);
        status = Status();
        EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseHalted));
        EXPECT_TRUE(core->IsHalted());
        const uint32_t counted = Little32(ReadMemory(SymbolSpace("counter"), Symbol("counter"), 4));
        EXPECT_GT(counted, 0u);
        EXPECT_EQ(Little32(ReadMemory(SymbolSpace("counter"), Symbol("counter"), 4)), counted) << "halted";
        const uint32_t pc = ReadRegister(PcId());
        EXPECT_GE(pc, main);
        EXPECT_LT(pc, main + image.symbols.Find("main")->size) << "in main's loop";
    });
}

INSTANTIATE_TEST_SUITE_P(Boards, EightBitThroughModule,
                         ::testing::Values(BoardCase{"z80", DIORX_Z80_FIRMWARE_HEX, 0x40},
                                           BoardCase{"8051", DIORX_8051_FIRMWARE_HEX, 0xf0}),
                         [](const auto& info) { return "board" + std::string(info.param.board); });

// s51 killed under a run: the module's wait ends with the failed state
// query, the continue fails, every later operation fails, and no s51 is left.
class S51KilledThroughModule : public EightBitThroughModule {};

TEST_P(S51KilledThroughModule, TheContinueFailsAndSoDoesEverythingAfter) {
    auto* s51 = dynamic_cast<sim::S51Core*>(core.get());
    ASSERT_NE(s51, nullptr);
    FrontEnd([&] {
        Open();
        Download();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        WriteRegister(PcId(), Symbol("main"));  // past the start-up code: rounds stays what is written
        WriteMemory(SymbolSpace("rounds"), Symbol("rounds"), {0xff, 0xff, 0xff, 0x7f});
        // The poll callback kills s51 once the run is under way.
        g_killAfter = 3;
        g_victim = s51->ProcessId();
        EXPECT_EQ(DiExecContinue(), GdiFailed);
        EXPECT_GE(g_polls.load(), 3);
        GdiExitStatus status{};
        EXPECT_EQ(DiExecGetStatus(&status), GdiFailed);
        GdiValue pc{};
        EXPECT_EQ(DiRegisterRead(PcId(), &pc), GdiOk);
        EXPECT_EQ(StatusOf(pc), 3u) << "not read";
        EXPECT_EQ(DiExecSingleStep(1), GdiFailed);
    });
    EXPECT_NE(s51->FailureMessage().find("killed by signal 9"), std::string::npos) << s51->FailureMessage();
    EXPECT_TRUE(eightbit::ChildrenNamed("s51").empty());
}

INSTANTIATE_TEST_SUITE_P(Boards, S51KilledThroughModule,
                         ::testing::Values(BoardCase{"8051", DIORX_8051_FIRMWARE_HEX, 0xf0}),
                         [](const auto& info) { return "board" + std::string(info.param.board); });

}  // namespace
