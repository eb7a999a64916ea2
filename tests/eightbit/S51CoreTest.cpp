// The 8051 core on its own: s51 as a child process on a pseudo-terminal,
// the sample program built by sdcc, and s51 dying or hanging. No s51 may
// outlive a test.
#include "sim/s51/S51Core.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/Boards.h"
#include "tests/eightbit/ChildProcesses.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"

namespace {

using sim::S51Core;
using namespace std::chrono_literals;

constexpr uint32_t kBp = S51Core::kBreakpointSpace;

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = 5000ms) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class S51CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(eightbit::ChildrenNamed("s51").empty()) << "an earlier test left s51 running";
        orxdbg::SetCurrentBoard(*sim::FindBoard("8051"));
        std::string error;
        ASSERT_TRUE(orxdbg::LoadImageFile(DIORX_8051_FIRMWARE_HEX, image, error)) << error;
    }
    void TearDown() override {
        core.reset();
        EXPECT_TRUE(eightbit::ChildrenNamed("s51").empty()) << "s51 outlived its core";
    }

    S51Core& Start(S51Core::Options options = {}) {
        core = std::make_unique<S51Core>(options);
        return *core;
    }
    void Load() {
        for (const orxdbg::Segment& s : image.segments) {
            const std::vector<uint32_t> units(s.bytes.begin(), s.bytes.end());
            ASSERT_TRUE(core->WriteBlock(S51Core::kCode, units.data(), s.address, static_cast<uint32_t>(units.size())));
        }
        ASSERT_TRUE(core->EndDownload(S51Core::kCode));
    }
    uint32_t At(const char* name) {
        const orxdbg::Symbol* s = image.symbols.Find(name);
        EXPECT_NE(s, nullptr) << name;
        return s ? static_cast<uint32_t>(s->address) : 0;
    }
    std::vector<uint8_t> Peek(int32_t space, uint32_t address, uint32_t count) {
        std::vector<uint32_t> units(count);
        EXPECT_TRUE(core->ReadBlock(space, units.data(), address, count));
        return {units.begin(), units.end()};
    }
    void Poke(int32_t space, uint32_t address, const std::vector<uint8_t>& bytes) {
        const std::vector<uint32_t> units(bytes.begin(), bytes.end());
        ASSERT_TRUE(core->WriteBlock(space, units.data(), address, static_cast<uint32_t>(units.size())));
    }
    // Runs from reset to done, the first time round, and puts the PC back
    // on the breakpoint as the module does.
    void RunToDone() {
        core->Reset();
        ASSERT_TRUE(core->AddBreakpoint(kBp, At("done")));
        core->Continue();
        ASSERT_TRUE(WaitFor([&] { return core->IsHalted(); }));
        ASSERT_EQ(core->ReadRegister(S51Core::PC), At("done") + 1) << "one past the breakpoint";
        core->WriteRegister(S51Core::PC, At("done"));
    }

    orxdbg::Image image;
    std::unique_ptr<S51Core> core;
};

TEST_F(S51CoreTest, TheConsoleIsAPseudoTerminalAndNothingListens) {
    Start();
    const pid_t pid = core->ProcessId();
    ASSERT_GT(pid, 0);
    int terminals = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        EXPECT_EQ(target.rfind("socket:", 0), std::string::npos) << "s51 holds a socket: " << fd.path();
        if (target.rfind("/dev/pts/", 0) == 0) ++terminals;
    }
    EXPECT_GT(terminals, 0) << "the console is on a pseudo-terminal";
    EXPECT_GT(core->Ping().count(), 0);
}

TEST_F(S51CoreTest, RegistersAndSpacesAreNamedAsTheBoardTableSays) {
    Start();
    const sim::Board& board = *sim::FindBoard("8051");
    ASSERT_EQ(core->RegisterCount(), static_cast<int32_t>(board.arch.registers.size()));
    for (int32_t i = 0; i < core->RegisterCount(); ++i)
        EXPECT_EQ(core->RegisterName(i), board.arch.registers[static_cast<std::size_t>(i)].name);
    EXPECT_EQ(core->PcIndex(), board.arch.RegisterIndex(sim::RegisterRole::Pc));
    const std::vector<std::string> spaces = sim::MemorySpaceNames(board);
    ASSERT_EQ(core->MemorySpaceCount(), static_cast<int32_t>(spaces.size()));
    for (int32_t i = 0; i < core->MemorySpaceCount(); ++i)
        EXPECT_EQ(core->MemorySpaceName(i), spaces[static_cast<std::size_t>(i)]);
}

TEST_F(S51CoreTest, SampleProgramFillsItsTablesInEachSpace) {
    Start();
    Load();
    RunToDone();
    const std::vector<uint8_t> idata = Peek(S51Core::kIdata, At("idata_table"), 8);
    const std::vector<uint8_t> xdata = Peek(S51Core::kXdata, At("xdata_table"), 16);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(idata[i], i * i + 3) << i;
        EXPECT_EQ(xdata[2 * i] | xdata[2 * i + 1] << 8, i * i + 3) << i;
    }
    EXPECT_EQ(Peek(S51Core::kIdata, At("counter"), 4), (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(Peek(S51Core::kCode, At("code_table"), 8), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(S51CoreTest, RunsStopAsATrapAtBreakpointsAndStepsOnALaterOne) {
    Start();
    Load();
    RunToDone();
    // A run from the breakpoint stops on it at once, as a trap there would.
    core->Continue();
    EXPECT_TRUE(core->IsHalted());
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("done") + 1);
    EXPECT_EQ(Peek(S51Core::kIdata, At("done_count"), 1)[0], 0);
    // Stepped off it first, the run meets it three rounds on.
    core->WriteRegister(S51Core::PC, At("done"));
    core->Step(1);
    core->Continue();
    ASSERT_TRUE(WaitFor([&] { return core->IsHalted(); }));
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("done") + 1);
    EXPECT_EQ(Peek(S51Core::kIdata, At("done_count"), 1)[0], 1);
    core->WriteRegister(S51Core::PC, At("done"));
    // A step passes the breakpoint it starts on and ends on the next.
    core->Step(1);
    EXPECT_TRUE(core->IsHalted());
    EXPECT_GT(core->ReadRegister(S51Core::PC), At("done"));
    core->Step(S51Core::kInlineStepLimit);
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("done"));
    EXPECT_EQ(Peek(S51Core::kIdata, At("done_count"), 1)[0], 2);
    // Without the breakpoint a long step runs on and halts by itself.
    core->RemoveBreakpoint(kBp, At("done"));
    EXPECT_FALSE(core->HasBreakpoint(kBp, At("done")));
    core->Step(S51Core::kInlineStepLimit * 4);
    ASSERT_TRUE(WaitFor([&] { return core->IsHalted(); }));
    EXPECT_GT(Peek(S51Core::kIdata, At("done_count"), 1)[0], 2);
}

TEST_F(S51CoreTest, RegistersLiveInTheSfrsAndTheBankPswSelects) {
    Start();
    Load();
    RunToDone();
    core->WriteRegister(S51Core::PSW, 0x10);  // bank 2
    core->WriteRegister(S51Core::R5, 0x1ff);
    core->WriteRegister(S51Core::DPTR, 0x12345);
    core->WriteRegister(S51Core::A, 0xa5);
    EXPECT_EQ(core->ReadRegister(S51Core::R5), 0xffu);
    EXPECT_EQ(Peek(S51Core::kIdata, 0x15, 1)[0], 0xff);
    EXPECT_EQ(Peek(S51Core::kSfr, 0x82, 2), (std::vector<uint8_t>{0x45, 0x23}));
    EXPECT_EQ(Peek(S51Core::kSfr, 0xe0, 1)[0], 0xa5);
    EXPECT_EQ(core->ReadRegister(S51Core::DPTR), 0x2345u);
    core->WriteRegister(S51Core::PSW, 0x00);
    EXPECT_EQ(core->ReadRegister(S51Core::R5), Peek(S51Core::kIdata, 0x05, 1)[0]) << "bank 0 again";
    // A written PC reaches s51 before the step that follows it, and a step
    // before the write that follows it.
    core->WriteRegister(S51Core::PC, At("fill_tables"));
    core->Step(1);  // mov r7, #0x00
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("fill_tables") + 2);
    core->Step(1);
    core->WriteRegister(S51Core::PC, At("done"));
    core->ReadRegister(S51Core::A);  // sends the queue
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("done"));
    core->Step(1);  // mov r6, 0x0c
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("done") + 2);
}

TEST_F(S51CoreTest, QueuedCommandsTravelTogether) {
    Start();
    const uint64_t before = core->RoundTrips();
    // A download, a breakpoint, registers: kept until an answer is needed.
    std::vector<uint32_t> block(1024);
    for (uint32_t i = 0; i < block.size(); ++i) block[i] = (i * 7) & 0xff;
    ASSERT_TRUE(core->WriteBlock(S51Core::kXdata, block.data(), 0x4000, 1024));
    ASSERT_TRUE(core->AddBreakpoint(kBp, 0x0200));
    core->WriteRegister(S51Core::PC, 0x0100);
    core->WriteRegister(S51Core::B, 0x42);
    EXPECT_EQ(core->RoundTrips(), before);
    // One read brings the queue (as a command file) and the answer.
    std::vector<uint32_t> read(1024);
    ASSERT_TRUE(core->ReadBlock(S51Core::kXdata, read.data(), 0x4000, 1024));
    EXPECT_EQ(read, block);
    EXPECT_EQ(core->RoundTrips(), before + 1);
    // What is known is not asked again.
    ASSERT_TRUE(core->ReadBlock(S51Core::kXdata, read.data(), 0x4100, 16));
    EXPECT_EQ(core->ReadRegister(S51Core::PC), 0x0100u);
    EXPECT_EQ(core->RoundTrips(), before + 1);
    EXPECT_EQ(core->ReadRegister(S51Core::B), 0x42u);
}

// What the module does to continue from a breakpoint: lift it, step,
// set it again, run; then read the PC. One exchange with s51.
TEST_F(S51CoreTest, AContinueFromABreakpointIsOneRoundTrip) {
    Start();
    Load();
    RunToDone();
    const uint64_t before = core->RoundTrips();
    core->RemoveBreakpoint(kBp, At("done"));
    core->Step(1);
    EXPECT_TRUE(core->IsHalted());
    ASSERT_TRUE(core->AddBreakpoint(kBp, At("done")));
    core->Continue();
    ASSERT_TRUE(WaitFor([&] { return core->IsHalted(); }));
    EXPECT_EQ(core->ReadRegister(S51Core::PC), At("done") + 1);
    core->WriteRegister(S51Core::PC, At("done"));
    EXPECT_EQ(core->RoundTrips(), before + 1);
}

TEST_F(S51CoreTest, AccessWhileRunningStopsTheProgramForItAndRunsItOn) {
    Start();
    Load();
    RunToDone();
    Poke(S51Core::kXdata, At("rounds"), {0xff, 0xff, 0xff, 0x7f});
    core->RemoveAllBreakpoints();
    core->Continue();
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(core->IsRunning());
    auto counter = [&] {
        const auto b = Peek(S51Core::kIdata, At("counter"), 4);
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    };
    const uint32_t first = counter();
    EXPECT_TRUE(core->IsRunning());
    std::this_thread::sleep_for(300ms);
    EXPECT_NE(counter(), first) << "the program went on";
    core->Pause();
    EXPECT_TRUE(core->IsHalted());
    const auto halted = Peek(S51Core::kIdata, At("counter"), 4);
    EXPECT_EQ(Peek(S51Core::kIdata, At("counter"), 4), halted);
}

struct BlockCase {
    int32_t space;
    uint64_t address;
    uint32_t count;
    bool answers;
};

TEST_F(S51CoreTest, ABlockOutsideItsSpaceIsRefusedWhole) {
    Start();
    const BlockCase cases[] = {
        {S51Core::kSfr, 0x80, 128, true},  {S51Core::kSfr, 0x7f, 1, false},  {S51Core::kSfr, 0xff, 2, false},
        {S51Core::kIdata, 0xff, 1, true},  {S51Core::kIdata, 0x100, 1, false}, {S51Core::kXdata, 0xffff, 2, false},
        {S51Core::kCode, 0xfc00, 1024, true}, {4, 0, 1, false},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "space " << c.space << " at 0x" << std::hex << c.address);
        std::vector<uint32_t> units(c.count, 0);
        EXPECT_EQ(core->ReadBlock(c.space, units.data(), c.address, c.count), c.answers);
        EXPECT_EQ(core->WriteBlock(c.space, units.data(), c.address, c.count), c.answers);
    }
}

TEST_F(S51CoreTest, ColouredAnswersReadAsPlainOnes) {
    S51Core::Options options;
    options.blackAndWhite = false;
    Start(options);
    Load();
    RunToDone();
    EXPECT_EQ(Peek(S51Core::kIdata, At("idata_table"), 4), (std::vector<uint8_t>{3, 4, 7, 12}));
    core->WriteRegister(S51Core::A, 0x5a);
    EXPECT_EQ(core->ReadRegister(S51Core::A), 0x5au);
}

TEST_F(S51CoreTest, AKilledS51FailsTheNextCallWithItsStory) {
    Start();
    Load();
    const pid_t pid = core->ProcessId();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    try {
        core->ReadRegister(S51Core::A);
        ADD_FAILURE() << "a dead s51 answered";
    } catch (const sim::CoreFailure& failure) {
        EXPECT_NE(std::string(failure.what()).find("s51"), std::string::npos) << failure.what();
        EXPECT_NE(std::string(failure.what()).find("signal 9"), std::string::npos) << failure.what();
    }
    EXPECT_THROW(core->IsHalted(), sim::CoreFailure) << "and every call after it";
    EXPECT_EQ(core->ProcessId(), -1);
    EXPECT_TRUE(eightbit::ChildrenNamed("s51").empty()) << "reaped";
}

TEST_F(S51CoreTest, AKilledS51EndsARunningProgramsRun) {
    Start();
    Load();
    core->Continue();
    ASSERT_TRUE(core->IsRunning());
    ASSERT_EQ(::kill(core->ProcessId(), SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] {
        try {
            core->IsRunning();
            return false;
        } catch (const sim::CoreFailure&) {
            return true;
        }
    })) << "the state query fails once s51 is gone";
}

TEST_F(S51CoreTest, AHungS51FailsWithinTheReplyTimeAndIsEnded) {
    S51Core::Options options;
    options.replyTimeout = 600ms;
    Start(options);
    const pid_t pid = core->ProcessId();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    EXPECT_THROW(core->ReadRegister(S51Core::A), sim::CoreFailure);
    EXPECT_NE(core->FailureMessage().find("no answer"), std::string::npos) << core->FailureMessage();
    EXPECT_TRUE(eightbit::ChildrenNamed("s51").empty()) << "the hung s51 was killed";
}

TEST_F(S51CoreTest, AMissingProgramFailsAtStart) {
    S51Core::Options options;
    options.program = "/nonexistent/s51";
    options.replyTimeout = 2000ms;
    EXPECT_THROW(Start(options), sim::CoreFailure);
}

}  // namespace
