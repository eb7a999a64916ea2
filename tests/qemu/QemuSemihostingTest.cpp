// Semihosting on QEMU's ARM boards: a program's bkpt 0xab halts the core as
// on the in-process one, so the tools carry the calls out (or report the
// stop) the same way on either. The core on its own with a hand-written
// Thumb program, then a newlib program through orxdbg and through the GDB
// server, side by side with the in-process core and with QEMU's own
// semihosting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/Boards.h"
#include "sim/qemu/QemuCore.h"
#include "tests/gdbserver/Processes.h"

namespace {

using gdbtest::ExpectAll;
using gdbtest::RunGdb;
using gdbtest::RunProcess;
using gdbtest::ServerProcess;
using namespace std::chrono_literals;

int32_t RegisterNamed(sim::QemuCore& core, const std::string& name) {
    for (int32_t i = 0; i < core.RegisterCount(); ++i)
        if (core.RegisterName(i) == name) return i;
    ADD_FAILURE() << "no register " << name;
    return -1;
}

// Waits (bounded) for the core to halt by itself; false when it still runs.
bool HaltsWithin(sim::QemuCore& core, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (core.IsHalted()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return core.IsHalted();
}

struct Write {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// A Thumb program at 0x1000 on mps2-an385, written by the debugger as each
// case says, then run or stepped from 0x1000. A call halts the core on it
// (r0 as the program set it); a step cannot go past one; a halfword that is
// no longer a call, or never was one, runs on. QEMU's own semihosting is
// off, so a call that the core let QEMU execute would fault the program
// (its vector table is empty: QEMU locks up and ends).
TEST(QemuSemihosting, ACallTheDebuggerWroteHaltsTheCore) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    // movs r0,#5 / bkpt 0xab / adds r0,#1 / b .
    const std::vector<uint8_t> program{0x05, 0x20, 0xab, 0xbe, 0x01, 0x30, 0xfe, 0xe7};
    const std::vector<uint8_t> nop{0x00, 0xbf};
    enum class Run { Continue, Step1, Step3 };
    struct Case {
        const char* what;
        std::vector<Write> writes;
        bool debuggerBreakpointOnCall;  // set at 0x1003 (Thumb) and removed again before the run
        Run run;
        bool haltsByItself;  // a continue halts without a pause
        uint32_t pc;
        uint32_t r0;
        bool stepFaulted;
    };
    const Case cases[] = {
        {"a download holding a call", {{0x1000, program}}, false, Run::Continue, true, 0x1002, 5, false},
        {"the call written a byte at a time, its upper byte first",
         {{0x1000, {0x05, 0x20}}, {0x1004, {0x01, 0x30, 0xfe, 0xe7}}, {0x1003, {0xbe}}, {0x1002, {0xab}}},
         false, Run::Continue, true, 0x1002, 5, false},
        {"the call written across two writes at an odd address",
         {{0x1000, {0x05, 0x20, 0xab}}, {0x1003, {0xbe, 0x01, 0x30, 0xfe, 0xe7}}},
         false, Run::Continue, true, 0x1002, 5, false},
        {"the call overwritten by a nop", {{0x1000, program}, {0x1002, nop}}, false, Run::Continue, false, 0x1006, 6,
         false},
        // movs r0,#0xab in its place.
        {"the call's upper byte overwritten", {{0x1000, program}, {0x1003, {0x20}}}, false, Run::Continue, false,
         0x1006, 0xac, false},
        // add r3,sp,#0 / movs r0,#0xbe / b .: the bytes ab be straddle two
        // instructions, an odd address, and are no call.
        {"ab be at an odd address", {{0x1000, {0x00, 0xab, 0xbe, 0x20, 0xfe, 0xe7}}}, false, Run::Continue, false,
         0x1004, 0xbe, false},
        {"the debugger's breakpoint on the call, removed", {{0x1000, program}}, true, Run::Continue, true, 0x1002, 5,
         false},
        {"a step on the call", {{0x1000, program}}, false, Run::Step1, true, 0x1002, 5, true},
        {"a step that reaches the call", {{0x1000, program}}, false, Run::Step3, true, 0x1002, 5, true},
    };
    // A call that QEMU executed ends QEMU (CoreFailure): the case says so
    // and the next one runs.
    const auto run = [&](const Case& c) {
        sim::QemuCore core(*board);
        const int32_t pc = core.PcIndex(), r0 = RegisterNamed(core, "R0");
        ASSERT_GE(r0, 0);
        for (const Write& w : c.writes) {
            const std::vector<uint32_t> units(w.bytes.begin(), w.bytes.end());
            ASSERT_TRUE(core.WriteBlock(0, units.data(), w.address, static_cast<uint32_t>(units.size())));
        }
        if (c.debuggerBreakpointOnCall) {
            ASSERT_TRUE(core.AddBreakpoint(sim::QemuCore::kBreakpointSpace, 0x1003));
            core.RemoveBreakpoint(sim::QemuCore::kBreakpointSpace, 0x1003);
        }
        core.Pause();
        if (c.run == Run::Step1) {
            core.WriteRegister(pc, 0x1002);
            core.WriteRegister(r0, 5);
            core.Step(1);
        } else {
            core.WriteRegister(pc, 0x1000);
            if (c.run == Run::Step3)
                core.Step(3);
            else
                core.Continue();
        }
        // A program that runs on is in its loop within microseconds.
        EXPECT_EQ(HaltsWithin(core, c.haltsByItself ? 2000ms : 300ms), c.haltsByItself);
        if (!core.IsHalted()) core.Pause();
        EXPECT_EQ(core.ReadRegisterFromMachine(pc), c.pc);
        EXPECT_EQ(core.ReadRegisterFromMachine(r0), c.r0);
        EXPECT_EQ(core.StepFaulted(), c.stepFaulted);
        // Never the debugger's breakpoint: the stop is the program's own.
        EXPECT_FALSE(core.HasBreakpoint(sim::QemuCore::kBreakpointSpace, 0x1003));
        if (c.haltsByItself && c.run == Run::Continue) {
            // Continued on the call, the core stays on it, as a probe's core
            // that halts on a bkpt again.
            core.Continue();
            EXPECT_TRUE(HaltsWithin(core, 2000ms));
            EXPECT_EQ(core.ReadRegisterFromMachine(pc), c.pc);
            EXPECT_EQ(core.ReadRegisterFromMachine(r0), c.r0);
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            run(c);
        } catch (const sim::CoreFailure& e) {
            ADD_FAILURE() << c.what << ": " << e.what();
        }
    }
}

#ifdef DIORX_NEWLIB_ELF

std::vector<std::string> Orxdbg(const std::vector<std::string>& options, const std::vector<std::string>& commands) {
    std::vector<std::string> argv{ORXDBG_PROGRAM, "--timeout", "20"};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const std::string& c : commands) {
        argv.push_back("-c");
        argv.push_back(c);
    }
    return argv;
}

// Output lines from the first one starting with from on.
std::vector<std::string> LinesFrom(const std::string& output, const std::string& from) {
    std::vector<std::string> lines;
    bool found = false;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        found = found || line.rfind(from, 0) == 0;
        if (found) lines.push_back(line);
    }
    return lines;
}

// The newlib program through orxdbg: with --semihosting its output and its
// exit code (orxdbg's status) on QEMU's boards as on the in-process core;
// without, the continue stops on the first call with the same report.
TEST(QemuSemihosting, ANewlibProgramThroughOrxdbg) {
    const auto reference = RunProcess(Orxdbg({"--semihosting"}, {"load " DIORX_NEWLIB_ELF, "continue"}), 60);
    ASSERT_EQ(reference.exitStatus, 3) << reference.output;
    const auto unhosted = RunProcess(Orxdbg({}, {"load " DIORX_NEWLIB_ELF, "continue", "info registers R0"}), 60);
    ASSERT_EQ(unhosted.exitStatus, 0) << unhosted.output;
    const auto stop = LinesFrom(unhosted.output, "> continue");
    ASSERT_GE(stop.size(), 2u) << unhosted.output;
    for (const char* board : {"qemu:mps2-an385", "qemu:lm3s6965evb"}) {
        SCOPED_TRACE(board);
        const auto hosted = RunProcess(Orxdbg({"--target", board, "--semihosting"}, {"load " DIORX_NEWLIB_ELF, "continue"}), 60);
        EXPECT_EQ(hosted.exitStatus, 3) << hosted.output;
        ExpectAll(hosted.output, {
            {"stdout", R"(newlib says 42\n)"},
            {"stderr", R"(and exits with 3\n)"},
            {"the exit", R"(the program exited with code 3 \(SYS_EXIT_EXTENDED\); the processor is halted on the call)"},
        });
        EXPECT_EQ(LinesFrom(hosted.output, "> continue"), LinesFrom(reference.output, "> continue"))
            << "in-process:\n" << reference.output << "\nQEMU:\n" << hosted.output;

        const auto stopped = RunProcess(Orxdbg({"--target", board}, {"load " DIORX_NEWLIB_ELF, "continue", "info registers R0"}), 60);
        EXPECT_EQ(stopped.exitStatus, 0) << stopped.output;
        EXPECT_EQ(LinesFrom(stopped.output, "> continue"), stop)
            << "in-process:\n" << unhosted.output << "\nQEMU:\n" << stopped.output;
    }
}

// The newlib program under gdb through the server on mps2-an385, semihosting
// switched on either way: gdb shows the program's lines and its exit code, as
// QEMU's own stub does with QEMU carrying the calls out itself (the lines on
// QEMU's standard output there).
TEST(QemuSemihostingGdb, ANewlibProgramUnderGdbAsWithQemusOwnSemihosting) {
    ServerProcess qemu;
    ASSERT_TRUE(qemu.StartQemu(QEMU_SYSTEM_ARM, DIORX_NEWLIB_ELF, "mps2-an385",
                               {"-semihosting-config", "enable=on,target=native"}))
        << qemu.Output();
    const auto native = RunGdb(GDB_MULTIARCH, DIORX_NEWLIB_ELF, "remote", qemu.Port(), {"-ex", "continue"}, 30);
    qemu.Terminate();
    ASSERT_EQ(native.exitStatus, 0) << native.output;
    // The stubs name the process differently (process 1, Remote target).
    const std::regex exitLine(R"(\[Inferior 1 \([^)]+\) exited with code (\d+)\])");
    std::smatch expected;
    ASSERT_TRUE(std::regex_search(native.output, expected, exitLine)) << native.output;
    ASSERT_EQ(expected[1].str(), "03");
    const std::string lines = "newlib says 42\nand exits with 3\n";
    ASSERT_NE(qemu.Output().find(lines), std::string::npos) << qemu.Output();

    const struct {
        const char* how;
        std::vector<std::string> serverOptions;
        std::vector<std::string> gdbCommands;
    } cases[] = {
        {"--semihosting", {"--semihosting"}, {}},
        {"monitor arm semihosting enable", {}, {"-ex", "monitor arm semihosting enable"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        ServerProcess server;
        std::vector<std::string> options{"--target", "qemu:mps2-an385"};
        options.insert(options.end(), c.serverOptions.begin(), c.serverOptions.end());
        ASSERT_TRUE(server.Start(options)) << server.Output();
        std::vector<std::string> commands{"-ex", "load", "-ex", "monitor reset"};
        commands.insert(commands.end(), c.gdbCommands.begin(), c.gdbCommands.end());
        commands.insert(commands.end(), {"-ex", "continue"});
        const auto ours = RunGdb(GDB_MULTIARCH, DIORX_NEWLIB_ELF, "remote", server.Port(), commands, 30);
        EXPECT_EQ(ours.exitStatus, 0) << ours.output;
        EXPECT_NE(ours.output.find(lines), std::string::npos) << ours.output;
        std::smatch actual;
        EXPECT_TRUE(std::regex_search(ours.output, actual, exitLine) && actual[1].str() == expected[1].str())
            << "QEMU:\n" << native.output << "\nserver:\n" << ours.output;
        EXPECT_EQ(server.Terminate(), 0) << server.Output();
    }
}

// Without semihosting the program stops on its first call under gdb: SIGTRAP
// on the bkpt, and a stepi there fails without executing it, on QEMU's board
// exactly as on the in-process core.
TEST(QemuSemihostingGdb, WithoutSemihostingGdbStopsOnTheFirstCall) {
    const std::vector<std::string> commands{"-ex", "load", "-ex", "monitor reset", "-ex", "continue",
                                            "-ex", "x/1hx $pc", "-ex", "print $r0", "-ex", "stepi",
                                            "-ex", "x/1hx $pc"};
    std::vector<std::string> reference;
    for (const char* target : {"cortexm", "qemu:mps2-an385"}) {
        SCOPED_TRACE(target);
        ServerProcess server;
        ASSERT_TRUE(server.Start({"--target", target})) << server.Output();
        const auto gdb = RunGdb(GDB_MULTIARCH, DIORX_NEWLIB_ELF, "remote", server.Port(), commands, 30);
        EXPECT_EQ(server.Terminate(), 0) << server.Output();
        EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
        ExpectAll(gdb.output, {
            {"the stop", R"(Program received signal SIGTRAP, Trace/breakpoint trap\.\n)"},
            {"on the call", R"(:\s+0xbeab\n(.*\n)*Program received signal SIGSEGV(.*\n)*.*:\s+0xbeab\n)"},
        });
        const auto lines = LinesFrom(gdb.output, "Program received signal SIGTRAP");
        if (reference.empty()) {
            reference = lines;
            ASSERT_FALSE(reference.empty()) << gdb.output;
        } else {
            EXPECT_EQ(lines, reference) << gdb.output;
        }
    }
}

#endif  // DIORX_NEWLIB_ELF

}  // namespace
