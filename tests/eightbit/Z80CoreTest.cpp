// The Z80 core on its own: hand-assembled instruction sequences where the
// test knows every instruction, and the sample program built by sdcc.
#include "sim/z80/Z80Core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/Boards.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"

namespace {

using sim::Z80Core;
using Reason = Z80Core::StopReason;
using namespace std::chrono_literals;

constexpr uint32_t kBp = Z80Core::kBreakpointSpace;

// Fails the test instead of hanging when the condition never comes true.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = 5000ms) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class Z80CoreTest : public ::testing::Test {
protected:
    void Poke(int32_t space, uint32_t address, const std::vector<uint8_t>& bytes) {
        const std::vector<uint32_t> units(bytes.begin(), bytes.end());
        ASSERT_TRUE(core.WriteBlock(space, units.data(), address, static_cast<uint32_t>(units.size())));
    }
    void Poke(uint32_t address, const std::vector<uint8_t>& bytes) { Poke(Z80Core::kMemorySpace, address, bytes); }
    std::vector<uint8_t> Peek(int32_t space, uint32_t address, uint32_t count) {
        std::vector<uint32_t> units(count);
        EXPECT_TRUE(core.ReadBlock(space, units.data(), address, count));
        return {units.begin(), units.end()};
    }
    uint32_t A() { return core.ReadRegister(Z80Core::AF) >> 8; }

    Z80Core core;
};

TEST_F(Z80CoreTest, RegistersAndSpacesAreNamedAsTheBoardTableSays) {
    const sim::Board& board = *sim::FindBoard("z80");
    ASSERT_EQ(core.RegisterCount(), static_cast<int32_t>(board.arch.registers.size()));
    for (int32_t i = 0; i < core.RegisterCount(); ++i)
        EXPECT_EQ(core.RegisterName(i), board.arch.registers[static_cast<std::size_t>(i)].name);
    EXPECT_EQ(core.PcIndex(), board.arch.RegisterIndex(sim::RegisterRole::Pc));
    const std::vector<std::string> spaces = sim::MemorySpaceNames(board);
    ASSERT_EQ(core.MemorySpaceCount(), static_cast<int32_t>(spaces.size()));
    for (int32_t i = 0; i < core.MemorySpaceCount(); ++i) {
        EXPECT_EQ(core.MemorySpaceName(i), spaces[static_cast<std::size_t>(i)]);
        EXPECT_EQ(core.TransferLimit(i), Z80Core::kTransferLimit);
    }
}

// One step is one instruction, whatever prefixes it carries.
struct PrefixCase {
    const char* name;
    std::vector<uint8_t> code;
    int32_t reg;  // a register the instruction sets, or -1
    uint32_t value;
};

class StepIsOneInstruction : public Z80CoreTest, public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(StepIsOneInstruction, PrefixesIncluded) {
    const PrefixCase& c = GetParam();
    core.WriteRegister(Z80Core::SP, 0x9000);
    core.WriteRegister(Z80Core::IX, 0x4321);
    core.WriteRegister(Z80Core::IY, 0x8000);
    core.WriteRegister(Z80Core::BC, 0xaaaa);
    Poke(0, c.code);
    core.Step(1);
    EXPECT_TRUE(core.IsHalted());
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), c.code.size()) << c.name;
    if (c.reg >= 0) {
        EXPECT_EQ(core.ReadRegister(c.reg), c.value) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Instructions, StepIsOneInstruction,
    ::testing::Values(PrefixCase{"nop", {0x00}, -1, 0},
                      PrefixCase{"ld_ix_nn", {0xdd, 0x21, 0x34, 0x12}, Z80Core::IX, 0x1234},
                      PrefixCase{"ld_bc_mem", {0xed, 0x4b, 0x00, 0x90}, Z80Core::BC, 0},
                      PrefixCase{"set_bit_iy_offset", {0xfd, 0xcb, 0x01, 0xc6}, -1, 0},
                      PrefixCase{"rlc_b", {0xcb, 0x00}, -1, 0},
                      PrefixCase{"ld_sp_ix", {0xdd, 0xf9}, Z80Core::SP, 0x4321}),
    [](const auto& info) { return std::string(info.param.name); });

// 0x00 inc a; 0x01 inc a; 0x02 inc a; 0x03 jr 0x00.
const std::vector<uint8_t> kIncLoop{0x3c, 0x3c, 0x3c, 0x18, 0xfb};

TEST_F(Z80CoreTest, ARunStopsAsATrapAtABreakpointAndAStepPassesTheOneItStartsOn) {
    Poke(0, kIncLoop);
    core.WriteRegister(Z80Core::AF, 0);
    ASSERT_TRUE(core.AddBreakpoint(kBp, 0x02));

    core.Continue();
    ASSERT_TRUE(WaitFor([&] { return core.IsHalted(); }));
    EXPECT_EQ(core.LastStopReason(), Reason::Breakpoint);
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0x03u) << "one past the breakpoint";
    EXPECT_EQ(A(), 2u) << "the instruction under the breakpoint has not run";

    // Put back on the breakpoint, a run stops there again at once.
    core.WriteRegister(Z80Core::PC, 0x02);
    core.Continue();
    ASSERT_TRUE(WaitFor([&] { return core.IsHalted(); }));
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0x03u);
    EXPECT_EQ(A(), 2u);

    core.WriteRegister(Z80Core::PC, 0x02);
    core.Step(1);
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0x03u);
    EXPECT_EQ(A(), 3u);
    // jr, inc a, inc a: a step ends on the next breakpoint it meets, the PC
    // on it.
    core.Step(10);
    EXPECT_EQ(core.LastStopReason(), Reason::Breakpoint);
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0x02u);
    EXPECT_EQ(A(), 5u);

    core.RemoveBreakpoint(kBp, 0x02);
    EXPECT_FALSE(core.HasBreakpoint(kBp, 0x02));
    core.Step(4);  // inc a, jr, inc a, inc a
    EXPECT_EQ(core.LastStopReason(), Reason::Step);
    EXPECT_EQ(A(), 8u);
}

TEST_F(Z80CoreTest, BreakpointsAreKeptByAddressInTheirSpaceOnly) {
    EXPECT_TRUE(core.AddBreakpoint(kBp, 0xffff));
    EXPECT_FALSE(core.AddBreakpoint(kBp, 0xffff)) << "one breakpoint per address";
    EXPECT_FALSE(core.AddBreakpoint(kBp, 0x10000)) << "beyond the 16-bit address space";
    EXPECT_FALSE(core.AddBreakpoint(kBp + 1, 0x10));
    EXPECT_TRUE(core.HasBreakpoint(kBp, 0xffff));
    EXPECT_FALSE(core.HasBreakpoint(kBp + 1, 0xffff));
    EXPECT_TRUE(core.AddBreakpoint(kBp, 0x10));
    core.RemoveAllBreakpoints();
    EXPECT_FALSE(core.HasBreakpoint(kBp, 0xffff));
    EXPECT_FALSE(core.HasBreakpoint(kBp, 0x10));
}

// 0x00 inc hl; 0x01 ld a,(0x0100); 0x04 out (0x20),a; 0x06 jr 0x00.
const std::vector<uint8_t> kCopyLoop{0x23, 0x3a, 0x00, 0x01, 0xd3, 0x20, 0x18, 0xf8};

TEST_F(Z80CoreTest, AccessWhileRunningParksTheProgramAndLetsItGoOn) {
    Poke(0, kCopyLoop);
    core.Continue();
    ASSERT_TRUE(core.IsRunning());
    const uint32_t before = core.ReadRegister(Z80Core::HL);
    // The program copies what the debugger writes to a port, so it went on.
    Poke(0x100, {0x77});
    ASSERT_TRUE(WaitFor([&] { return Peek(Z80Core::kIoSpace, 0x20, 1)[0] == 0x77; }));
    EXPECT_TRUE(core.IsRunning());
    EXPECT_NE(core.ReadRegister(Z80Core::HL), before);

    core.Pause();
    EXPECT_TRUE(core.IsHalted());
    EXPECT_EQ(core.LastStopReason(), Reason::Pause);
    const uint32_t pc = core.ReadRegister(Z80Core::PC);
    EXPECT_TRUE(pc == 0x00 || pc == 0x01 || pc == 0x04 || pc == 0x06) << pc;
    const uint64_t executed = core.InstructionCount();
    EXPECT_GT(executed, 0u);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(core.InstructionCount(), executed) << "a paused core executes nothing";
}

TEST_F(Z80CoreTest, ALongStepRunsOnAndHaltsByItselfAfterExactlyItsCount) {
    Poke(0, kIncLoop);
    const uint64_t before = core.InstructionCount();
    core.Step(Z80Core::kInlineStepLimit * 10 + 3);
    ASSERT_TRUE(WaitFor([&] { return core.IsHalted(); }));
    EXPECT_EQ(core.LastStopReason(), Reason::Step);
    EXPECT_EQ(core.InstructionCount() - before, Z80Core::kInlineStepLimit * 10 + 3);
}

struct RegisterCase {
    int32_t reg;
    uint32_t written;
    uint32_t read;  // what the register holds afterwards
};

TEST_F(Z80CoreTest, EachRegisterHoldsItsOwnValueInItsOwnWidth) {
    // Distinct values first: a register that shares storage with another
    // (or with the wrong one of libz80ex's) shows.
    for (int32_t i = 0; i < Z80Core::kRegisterCount; ++i) {
        if (i == Z80Core::IM || i == Z80Core::IFF1 || i == Z80Core::IFF2) continue;
        core.WriteRegister(i, 0x1111u * static_cast<uint32_t>(i + 1) & (i >= Z80Core::I ? 0xffu : 0xffffu));
    }
    for (int32_t i = 0; i < Z80Core::kRegisterCount; ++i) {
        if (i == Z80Core::IM || i == Z80Core::IFF1 || i == Z80Core::IFF2) continue;
        EXPECT_EQ(core.ReadRegister(i), 0x1111u * static_cast<uint32_t>(i + 1) & (i >= Z80Core::I ? 0xffu : 0xffffu))
            << core.RegisterName(i);
    }
    const RegisterCase cases[] = {
        {Z80Core::AF, 0xffffffff, 0xffff}, {Z80Core::HL_, 0x12345678, 0x5678}, {Z80Core::R, 0x85, 0x85},
        {Z80Core::R, 0x7f, 0x7f},          {Z80Core::I, 0x1ff, 0xff},           {Z80Core::IM, 2, 2},
        {Z80Core::IM, 3, 2},  // not a mode: ignored
        {Z80Core::IFF1, 1, 1},             {Z80Core::IFF2, 3, 1},              {Z80Core::IFF1, 0, 0},
    };
    for (const RegisterCase& c : cases) {
        core.WriteRegister(c.reg, c.written);
        EXPECT_EQ(core.ReadRegister(c.reg), c.read) << core.RegisterName(c.reg) << " written 0x" << std::hex << c.written;
    }
    EXPECT_EQ(core.ReadRegister(Z80Core::IFF2), 1u) << "IFF1 and IFF2 are apart";
}

TEST_F(Z80CoreTest, TheShadowSetIsWhatExxAndExAfSwapIn) {
    Poke(0, {0xd9, 0x08});  // exx; ex af,af'
    const uint32_t values[] = {0x1001, 0x2002, 0x3003, 0x4004, 0x5005, 0x6006, 0x7007, 0x8008};
    const int32_t regs[] = {Z80Core::AF, Z80Core::BC, Z80Core::DE, Z80Core::HL,
                            Z80Core::AF_, Z80Core::BC_, Z80Core::DE_, Z80Core::HL_};
    for (int i = 0; i < 8; ++i) core.WriteRegister(regs[i], values[i]);
    core.Step(2);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(core.ReadRegister(regs[i]), values[(i + 4) % 8]) << core.RegisterName(regs[i]);
}

TEST_F(Z80CoreTest, ResetClearsThePcAndTheInterruptState) {
    Poke(0, kIncLoop);
    core.Step(3);
    core.WriteRegister(Z80Core::BC, 0x1234);
    core.WriteRegister(Z80Core::IM, 1);
    core.WriteRegister(Z80Core::IFF1, 1);
    core.WriteRegister(Z80Core::I, 0x40);
    core.Reset();
    EXPECT_TRUE(core.IsNotStarted());
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0u);
    EXPECT_EQ(core.ReadRegister(Z80Core::IM), 0u);
    EXPECT_EQ(core.ReadRegister(Z80Core::IFF1), 0u);
    EXPECT_EQ(core.ReadRegister(Z80Core::I), 0u);
    EXPECT_EQ(core.ReadRegister(Z80Core::SP), 0xffffu);
}

TEST_F(Z80CoreTest, AHaltedCpuRunsUntilPausedAndGoesOnFromAWrittenPc) {
    // 0x00 halt; 0x10 inc a; 0x11 jr 0x10.
    Poke(0, {0x76});
    Poke(0x10, {0x3c, 0x18, 0xfd});
    core.WriteRegister(Z80Core::AF, 0);
    core.Continue();
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(core.IsRunning()) << "HALT waits for an interrupt: the CPU runs";
    core.Pause();
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0x00u);

    core.WriteRegister(Z80Core::PC, 0x10);
    core.Step(1);
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), 0x11u);
    EXPECT_EQ(A(), 1u);
    EXPECT_EQ(core.ReadRegister(Z80Core::SP), 0xffffu) << "the way out of the HALT kept the registers";
}

TEST_F(Z80CoreTest, TheProgramsPortsAreTheIoSpace) {
    // ld a,0x42; out (0x30),a; in a,(0x31); ld (0x0200),a; halt
    Poke(0, {0x3e, 0x42, 0xd3, 0x30, 0xdb, 0x31, 0x32, 0x00, 0x02, 0x76});
    Poke(Z80Core::kIoSpace, 0x31, {0x99});
    core.Step(4);
    EXPECT_EQ(Peek(Z80Core::kIoSpace, 0x30, 1)[0], 0x42);
    EXPECT_EQ(Peek(Z80Core::kMemorySpace, 0x200, 1)[0], 0x99);
    EXPECT_EQ(Peek(Z80Core::kMemorySpace, 0x30, 1)[0], 0x00) << "a port is not the memory at its address";
}

struct BlockCase {
    int32_t space;
    uint64_t address;
    uint32_t count;
    bool answers;
};

TEST_F(Z80CoreTest, ABlockAnswersWhollyOrNotAtAll) {
    const BlockCase cases[] = {
        {Z80Core::kMemorySpace, 0xfc00, 1024, true}, {Z80Core::kMemorySpace, 0xfc01, 1024, false},
        {Z80Core::kMemorySpace, 0x10000, 0, true},   {Z80Core::kMemorySpace, 0x10000, 1, false},
        {Z80Core::kIoSpace, 0xff, 1, true},          {Z80Core::kIoSpace, 0xf0, 17, false},
        {Z80Core::kIoSpace, 0x100, 1, false},        {2, 0, 1, false},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "space " << c.space << " at 0x" << std::hex << c.address << " count "
                                          << std::dec << c.count);
        const std::vector<uint32_t> ones(c.count, 0xa5);
        EXPECT_EQ(core.WriteBlock(c.space, ones.data(), c.address, c.count), c.answers);
        std::vector<uint32_t> read(c.count, 0);
        EXPECT_EQ(core.ReadBlock(c.space, read.data(), c.address, c.count), c.answers);
        if (c.answers) {
            EXPECT_EQ(read, ones);
        }
    }
    // The refused blocks wrote nothing: their first units are still zero.
    EXPECT_EQ(Peek(Z80Core::kMemorySpace, 0xfc00, 1)[0], 0xa5) << "from the block that answered";
    EXPECT_EQ(Peek(Z80Core::kIoSpace, 0xf0, 1)[0], 0x00);
}

TEST_F(Z80CoreTest, DestroyingARunningCoreStopsIt) {
    auto running = std::make_unique<Z80Core>();
    const std::vector<uint32_t> loop{0x18, 0xfe};  // jr .
    ASSERT_TRUE(running->WriteBlock(Z80Core::kMemorySpace, loop.data(), 0, 2));
    running->Continue();
    ASSERT_TRUE(running->IsRunning());
    running.reset();  // joins the worker; a core that never stopped would hang here
}

TEST_F(Z80CoreTest, SampleProgramFillsItsTablesAndCounts) {
    orxdbg::SetCurrentBoard(*sim::FindBoard("z80"));
    orxdbg::Image image;
    std::string error;
    ASSERT_TRUE(orxdbg::LoadImageFile(DIORX_Z80_FIRMWARE_HEX, image, error)) << error;
    for (const orxdbg::Segment& s : image.segments) {
        const std::vector<uint32_t> units(s.bytes.begin(), s.bytes.end());
        ASSERT_TRUE(core.WriteBlock(Z80Core::kMemorySpace, units.data(), s.address, static_cast<uint32_t>(units.size())));
    }
    auto at = [&](const char* name) {
        const orxdbg::Symbol* symbol = image.symbols.Find(name);
        EXPECT_NE(symbol, nullptr) << name;
        return symbol ? static_cast<uint32_t>(symbol->address) : 0u;
    };
    core.Reset();
    ASSERT_TRUE(core.AddBreakpoint(kBp, at("done")));
    core.Continue();
    ASSERT_TRUE(WaitFor([&] { return core.IsHalted(); }));
    EXPECT_EQ(core.ReadRegister(Z80Core::PC), at("done") + 1);

    const std::vector<uint8_t> table = Peek(Z80Core::kMemorySpace, at("table"), 16);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(table[2 * i] | table[2 * i + 1] << 8, i * i + 3) << "table[" << i << "]";
    EXPECT_EQ(Peek(Z80Core::kIoSpace, 0x10, 4), (std::vector<uint8_t>{3, 4, 7, 12}));
    EXPECT_EQ(Peek(Z80Core::kMemorySpace, at("counter"), 4), (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(core.ReadRegister(Z80Core::SP), 0xfffcu) << "main called done: two return addresses on the stack";
}

}  // namespace
