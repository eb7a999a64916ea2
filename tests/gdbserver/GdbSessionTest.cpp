// gdb-multiarch in batch mode against `orxdbg gdbserver` on the sample
// firmware: two clients one after the other, as a developer would use them.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/gdbserver/Processes.h"

namespace {

using gdbtest::ExpectAll;
using gdbtest::RunProcess;
using gdbtest::ServerProcess;

// One of this directory's gdb scripts against the server on port.
gdbtest::ProcessResult RunScript(int port, const std::string& script, const std::string& elf = DIORX_FIRMWARE_ELF,
                                 const std::string& target = "remote", int timeoutSeconds = 120) {
    return gdbtest::RunGdb(GDB_MULTIARCH, elf, target, port, {"-x", std::string(GDBSERVER_TEST_DIR) + "/" + script},
                           timeoutSeconds);
}

TEST(GdbSession, TwoClientsDebugTheFirmwareThroughTheServer) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF, "--poll-ms", "10"})) << server.Output();

    const auto first = RunScript(server.Port(), "first_client.gdb");
    EXPECT_EQ(first.exitStatus, 0) << first.output;
    ExpectAll(first.output, {
        {"load writes the flash", R"(Loading section \.text, size 0x[0-9a-f]+ lma 0x[0-9a-f]+)"},
        {"load ends", R"(Start address 0x00000042, load size \d+)"},
        {"the breakpoint on a symbol is hit",
         R"(Breakpoint 1, sum_table \(values=values@entry=0x20000000 <table>, count=count@entry=16\) at .*main\.c:\d+)"},
        {"an array through the debug information",
         R"(\$1 = \{7, 11, 21, 43, 83, 147, 241, 371, 543, 763, 1037, 1371, 1771, 2243, 2793, 3427\})"},
        {"an element", R"(\$2 = 3427\n)"},
        {"an argument", R"(\$3 = 16\n)"},
        {"memory through a pointer argument", R"(\$4 = \{7, 11, 21, 43\})"},
        {"backtrace frame 0", R"(#0  sum_table \(values=values@entry=0x20000000 <table>, count=count@entry=16\) at .*main\.c:\d+)"},
        {"backtrace frame 1", R"(#1  0x[0-9a-f]+ in main \(\) at .*main\.c:\d+)"},
        {"finish returns to the call", R"(0x[0-9a-f]+ in main \(\) at .*main\.c:\d+\n\d+\s+table_sum = sum_table\(table, TABLE_SIZE\);)"},
        {"finish shows the result", R"(Value returned is \$5 = 14872)"},
        {"stepi moves one instruction", R"(0x[0-9a-f]{8}\s+\d+\s+\+\+loop_count;)"},
        {"set var reaches the target", R"(\$6 = 41\n)"},
        {"a register write survives a flush of gdb's cache", R"(\$7 = 0x5eedc0de)"},
        {"x/ reads words", R"(0x20000000 <table>:\s+0x00000007\s+0x0000000b\s+0x00000015\s+0x0000002b)"},
        {"the interrupt stops the run", R"(Program received signal SIGINT, Interrupt\.)"},
        {"the program ran on before the interrupt", R"(\$8 = 1\n)"},
        {"halted in main's loop", R"(#0  (0x[0-9a-f]+ in )?main \(\) at .*main\.c:\d+)"},
        {"detach", R"(\[Inferior 1 \(Remote target\) detached\])"},
    });

    const auto second = RunScript(server.Port(), "second_client.gdb");
    EXPECT_EQ(second.exitStatus, 0) << second.output;
    ExpectAll(second.output, {
        {"the program's result is still there", R"(\$1 = 14872\n)"},
        {"the core ran on after the detach", R"(\$2 = 1\n)"},
        {"the second client finds the core halted in main", R"(#0  (0x[0-9a-f]+ in )?main \(\) at .*main\.c:\d+)"},
        {"monitor status", R"(status: halted \(cause 128\)\npc 0x000000[0-9a-f]{2}\n)"},
        {"monitor reset", R"(reset: the core is halted at its reset vector, pc 0x00000042)"},
        {"monitor help", R"(monitor commands:\n  reset .*\n  reset halt .*\n  reset init .*\n  reset run .*\n  halt .*\n)"},
        {"detach", R"(\[Inferior 1 \(Remote target\) detached\])"},
    });

    EXPECT_EQ(server.Terminate(), 0) << server.Output();
    EXPECT_NE(server.Output().find("client connected\nclient disconnected\nclient connected\nclient disconnected\n"
                                   "shutting down\n"),
              std::string::npos)
        << server.Output();
}

// Faults in the program: a step that cannot happen ends with SIGSEGV where
// gdb once stepped for ever; a run that reaches a bkpt ends with SIGTRAP.
TEST(GdbSession, StepsAndRunsIntoFaultsEndWithASignal) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FAULTS_ELF})) << server.Output();
    const auto gdb = RunScript(server.Port(), "faults.gdb", DIORX_FAULTS_ELF, "remote", 60);
    EXPECT_EQ(gdb.exitStatus, 0) << "-1: gdb did not end within 60 s\n" << gdb.output;
    ExpectAll(gdb.output, {
        {"next onto the bkpt's line", R"(\n21\s+__asm volatile\("bkpt #0x2a"\);\n)"},
        {"next over the bkpt", R"(Program received signal SIGSEGV, Segmentation fault\.\nmain \(\) at .*faults\.c:21\n)"},
        {"the pc stayed on the bkpt", R"(pc\s+0x[0-9a-f]+\s+0x[0-9a-f]+ <main\+8>\n)"},
        {"a run onto the bkpt", R"(Program received signal SIGTRAP, Trace/breakpoint trap\.\nmain \(\) at .*faults\.c:21\n)"},
        {"step into the function", R"(read_unmapped \(\) at .*faults\.c:14\n)"},
        {"next over the unmapped load",
         R"(Program received signal SIGSEGV, Segmentation fault\.\n0x[0-9a-f]+ in read_unmapped \(\) at .*faults\.c:14\n)"},
        {"the script went to its end", R"(\$1 = 424242\n)"},
    });
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}

// gdb's run, start, detach and attach in extended-remote mode, and monitor
// commands as IDEs send them.
TEST(GdbSession, ExtendedRemoteRunsStartsDetachesAndAttaches) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF})) << server.Output();
    const auto gdb = RunScript(server.Port(), "extended.gdb", DIORX_FIRMWARE_ELF, "extended-remote", 60);
    EXPECT_NE(gdb.exitStatus, 0) << "the unknown monitor command ends the script\n" << gdb.output;
    ExpectAll(gdb.output, {
        {"run reaches the breakpoint",
         R"(Breakpoint 1, sum_table \(values=values@entry=0x20000000 <table>, count=count@entry=16\) at .*main\.c:\d+)"},
        {"an argument", R"(\$1 = 16\n)"},
        {"start stops in main", R"(Temporary breakpoint 2, main \(\) at .*main\.c:\d+)"},
        {"detach", R"(\[Inferior 1 \(.*\) detached\])"},
        {"attach shows where the core ran to (the core ran on after the detach: any function)",
         R"(detached\]\n(0x[0-9a-f]+ in )?\w+ \([^\n]*\) at .*main\.c:\d+\n)"},
        {"monitor reset run and halt", R"(reset: the core runs\nhalted\nstatus: halted \(cause 128\))"},
        {"the unknown command is an error",
         R"(unknown monitor command 'frobnicate' \(try 'monitor help'\)\n(.*\n)*.*Protocol error with Rcmd)"},
    });
    EXPECT_EQ(gdb.output.find("424242"), std::string::npos) << gdb.output;
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}

// Without --elf the core starts from empty flash; gdb's load must leave a
// program that runs.
TEST(GdbSession, LoadAloneMakesTheProgramRunnable) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({})) << server.Output();
    const auto gdb = RunScript(server.Port(), "load_without_image.gdb", DIORX_FIRMWARE_ELF, "remote", 60);
    EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
    ExpectAll(gdb.output, {
        {"the breakpoint is hit", R"(Breakpoint 1, sum_table \(values=values@entry=0x20000000 <table>, count=count@entry=16\))"},
        {"an argument", R"(\$1 = 16\n)"},
        {"the stack is in RAM", R"(\$2 = 0x2000[0-9a-f]{4}\n)"},
    });
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}

// The semihosting demo in gdb: its output as gdb's console output, its exit
// as the end of the program; without semihosting the call is where it stops.
TEST(GdbSession, SemihostingOutputAndExitReachGdb) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_HELLO_ELF})) << server.Output();
    const auto result = gdbtest::RunGdb(GDB_MULTIARCH, DIORX_HELLO_ELF, "remote", server.Port(),
                                        {"-ex", "continue", "-ex", "x/i $pc", "-ex", "print squares_sum", "-ex",
                                         "monitor arm semihosting enable", "-ex", "continue"},
                                        120);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    ExpectAll(result.output, {
        {"off: the first call stops the run, as any bkpt does", R"(Program received signal SIGTRAP)"},
        {"on the call", R"(=> 0x[0-9a-f]+ <main\+8>:\s+bkpt\s+0x00ab)"},
        {"the program had not gone on", R"(\$1 = 0\n)"},
        {"the monitor command", R"(semihosting is enabled\n)"},
        {"SYS_WRITE0 in gdb", R"(\nhello from the simulated Cortex-M3\n)"},
        {"SYS_WRITE in gdb", R"(\nsum of the squares 1\.\.10: 385 \(0x181\), via SYS_WRITE\n)"},
        {"the exit", R"(\[Inferior 1 \(Remote target\) exited normally\])"},
    });
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
    EXPECT_NE(server.Output().find("hello from the simulated Cortex-M3\n"), std::string::npos) << server.Output();
}

#ifdef DIORX_NEWLIB_ELF
// exit(3) in a newlib program reaches gdb with its code.
TEST(GdbSession, ANewlibProgramsExitCodeReachesGdb) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_NEWLIB_ELF, "--semihosting"})) << server.Output();
    const auto result = gdbtest::RunGdb(GDB_MULTIARCH, DIORX_NEWLIB_ELF, "remote", server.Port(), {"-ex", "continue"}, 30);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    ExpectAll(result.output, {
        {"stdout", R"(newlib says 42\n)"},
        {"stderr", R"(and exits with 3\n)"},
        {"the exit code", R"(\[Inferior 1 \(Remote target\) exited with code 03\])"},
    });
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}
#endif

}  // namespace

#ifdef QEMU_SYSTEM_ARM
namespace {

// gdb's output for one session, without the lines that differ between any
// two stubs by nature: transfer rates, the note on hardware breakpoints for
// a flash that the server's memory map declares, and the detach line.
std::vector<std::string> ComparableLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    const std::regex ignored(R"(^(Transfer rate: .*|Note: automatically using hardware breakpoints.*|\[Inferior 1 \(.*\) detached\]))");
    while (std::getline(in, line))
        if (!std::regex_match(line, ignored)) lines.push_back(line);
    return lines;
}

TEST(GdbVsQemu, TheSameSessionShowsTheSameValuesLocationsAndBacktraces) {
    ServerProcess qemu;
    ASSERT_TRUE(qemu.StartQemu(QEMU_SYSTEM_ARM, DIORX_FIRMWARE_ELF)) << qemu.Output();
    const auto reference = RunScript(qemu.Port(), "compare.gdb");
    qemu.Terminate();
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF})) << server.Output();
    const auto ours = RunScript(server.Port(), "compare.gdb");
    EXPECT_EQ(server.Terminate(), 0) << server.Output();

    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    ASSERT_EQ(ours.exitStatus, 0) << ours.output;
    const auto expected = ComparableLines(reference.output);
    ASSERT_GT(expected.size(), 20u) << "QEMU's session went the whole way:\n" << reference.output;
    EXPECT_EQ(ComparableLines(ours.output), expected) << "QEMU:\n" << reference.output << "\nserver:\n" << ours.output;
}

// watch, rwatch and awatch as gdb shows them: the hardware watchpoints gdb
// sets, the lines where they stop, the old and new values.
TEST(GdbVsQemu, WatchpointsStopAtTheSameLinesWithTheSameValues) {
    ServerProcess qemu;
    ASSERT_TRUE(qemu.StartQemu(QEMU_SYSTEM_ARM, DIORX_FIRMWARE_ELF)) << qemu.Output();
    const auto reference = RunScript(qemu.Port(), "watch_compare.gdb");
    qemu.Terminate();
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF})) << server.Output();
    const auto ours = RunScript(server.Port(), "watch_compare.gdb");
    EXPECT_EQ(server.Terminate(), 0) << server.Output();

    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    ASSERT_EQ(ours.exitStatus, 0) << ours.output;
    const auto expected = ComparableLines(reference.output);
    // QEMU went the whole way, with every kind of watchpoint.
    for (const char* line : {"Hardware watchpoint 2: table[3]", "Hardware read watchpoint 3: table[5]",
                             "Hardware access (read/write) watchpoint 5: loop_count", "New value = 14872"})
        ASSERT_NE(std::find(expected.begin(), expected.end(), line), expected.end()) << line << "\n" << reference.output;
    EXPECT_EQ(ComparableLines(ours.output), expected) << "QEMU:\n" << reference.output << "\nserver:\n" << ours.output;
}

}  // namespace
#endif
