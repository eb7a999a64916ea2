// gdb-multiarch through orxdbg's GDB server on QEMU's boards: the interrupt
// firmware on mps2-an385 and the PowerPC program on virtex-ml507, debugged as
// with any probe.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/gdbserver/Processes.h"

namespace {

using gdbtest::ExpectAll;
using gdbtest::RunGdb;
using gdbtest::ServerProcess;

// One of this directory's gdb scripts against the server on port.
gdbtest::ProcessResult RunScript(int port, const char* elf, const std::string& script) {
    return RunGdb(GDB_MULTIARCH, elf, "remote", port, {"-x", std::string(QEMU_TEST_DIR) + "/" + script}, 120);
}

// A program that makes no semihosting call runs the same with semihosting
// on: the core's halt on a call never comes into it.
TEST(QemuGdb, InterruptFirmwareOnMps2ThroughTheServer) {
    for (const bool semihosting : {false, true}) {
        SCOPED_TRACE(semihosting ? "--semihosting" : "without semihosting");
        std::vector<std::string> options{"--target", "qemu:mps2-an385", "--poll-ms", "10"};
        if (semihosting) options.push_back("--semihosting");
        ServerProcess server;
        ASSERT_TRUE(server.Start(options)) << server.Output();
        const auto gdb = RunScript(server.Port(), DIORX_IRQ_FIRMWARE_ELF, "mps2_irq.gdb");
        EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
        ExpectAll(gdb.output, {
            {"the board's code memory, RAM", R"(0x00000000 0x00400000 rw nocache)"},
            {"the board's data memory", R"(0x20000000 0x20400000 rw nocache)"},
            {"load writes the image", R"(Loading section \.text, size 0x[0-9a-f]+ lma 0x[0-9a-f]+)"},
            {"the fault handler is entered", R"(Breakpoint 1, (0x[0-9a-f]+ in )?HardFault_Handler \(\))"},
            {"in exception 3", R"(\$1 = 0x3\n)"},
            {"the SysTick handler is hit", R"(Breakpoint 2, SysTick_Handler \(\) at .*mps2_irq\.c:\d+)"},
            {"bt shows the exception frame", R"(#0  SysTick_Handler \(\) at .*\n#1  <signal handler called>\n#2  )"},
            {"task A", R"(Breakpoint 3, task_a_work \(\) at .*mps2_irq\.c:\d+)"},
            {"task B", R"(Breakpoint 4, task_b_work \(\) at .*mps2_irq\.c:\d+)"},
            {"one fault handled", R"(\$2 = 1\n)"},
            {"at the bad address", R"(\$3 = 0x30000000\n)"},
            {"PendSV switched tasks", R"(\$4 = 1\n)"},
        });
        // x/ of the tick counter grows between stops.
        std::vector<long> ticks;
        const std::regex line(R"(<ticks>:\s+(\d+))");
        for (auto it = std::sregex_iterator(gdb.output.begin(), gdb.output.end(), line); it != std::sregex_iterator();
             ++it)
            ticks.push_back(std::stol((*it)[1]));
        ASSERT_EQ(ticks.size(), 3u) << gdb.output;
        EXPECT_LT(ticks[0], ticks[1]);
        EXPECT_LT(ticks[1], ticks[2]);
        EXPECT_EQ(server.Terminate(), 0) << server.Output();
    }
}

// gdb's lines from the first stop in task_a_work on, without the detach line
// (it names the process differently on each stub), in two parts: the watch
// stops, and the lines of a run of stepi from the stop named steppingFrom
// until the first `print`. In the steps a line printed twice in a row is
// kept once: now and then QEMU ends a single step without moving the PC when
// a timer event falls into it, on its own stub as behind the server.
struct WatchSession {
    std::vector<std::string> watches;
    std::vector<std::string> steps;
    std::vector<std::string> after;  // from the print on
};
WatchSession LinesFromTaskA(const std::string& output, const std::string& steppingFrom) {
    WatchSession session;
    std::vector<std::string>* part = nullptr;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!part && line.rfind("Breakpoint 1, task_a_work", 0) == 0) part = &session.watches;
        if (part == &session.watches && line.rfind(steppingFrom, 0) == 0) part = &session.steps;
        if (part == &session.steps && line.rfind("$", 0) == 0) part = &session.after;
        if (!part || line.rfind("[Inferior 1 ", 0) == 0) continue;
        if (part == &session.steps && !part->empty() && part->back() == line) continue;
        part->push_back(line);
    }
    return session;
}

// watch, rwatch and awatch on the SysTick counter, which only the interrupt
// handler touches: the server's watch by stepping lets interrupts and timers
// run, and stops where QEMU's own hardware watchpoints stop, with the same
// values; gdb's stepi keeps them out, as QEMU's stub does.
TEST(QemuGdb, WatchesOnAnInterruptWrittenCounter) {
    ServerProcess qemu;
    ASSERT_TRUE(qemu.StartQemu(QEMU_SYSTEM_ARM, DIORX_IRQ_FIRMWARE_ELF, "mps2-an385")) << qemu.Output();
    const auto reference = RunGdb(GDB_MULTIARCH, DIORX_IRQ_FIRMWARE_ELF, "remote", qemu.Port(),
                                  {"-x", std::string(QEMU_TEST_DIR) + "/mps2_watch.gdb"}, 30);
    qemu.Terminate();
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:mps2-an385"})) << server.Output();
    const auto ours = RunGdb(GDB_MULTIARCH, DIORX_IRQ_FIRMWARE_ELF, "remote", server.Port(),
                             {"-ex", "load", "-ex", "monitor reset", "-x", std::string(QEMU_TEST_DIR) + "/mps2_watch.gdb"},
                             30);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();

    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    ASSERT_EQ(ours.exitStatus, 0) << ours.output;
    const std::string steppingFrom = "Breakpoint 5, task_a_work";
    const WatchSession expected = LinesFromTaskA(reference.output, steppingFrom);
    for (const char* line : {"Hardware watchpoint 2: ticks", "Old value = 0", "New value = 2",
                             "Hardware read watchpoint 3: ticks", "Hardware access (read/write) watchpoint 4: ticks",
                             "New value = 3"})
        ASSERT_NE(std::find(expected.watches.begin(), expected.watches.end(), line), expected.watches.end())
            << line << "\n" << reference.output;
    ASSERT_GT(expected.steps.size(), 300u) << reference.output;
    ASSERT_FALSE(expected.after.empty()) << reference.output;
    EXPECT_EQ(expected.after.front(), "$1 = 0") << reference.output;

    const WatchSession actual = LinesFromTaskA(ours.output, steppingFrom);
    const auto context = "QEMU:\n" + reference.output + "\nserver:\n" + ours.output;
    EXPECT_EQ(actual.watches, expected.watches) << context;
    EXPECT_EQ(actual.after, expected.after) << context;
    // A step QEMU ended in place leaves its stub one line short at the end:
    // the shorter run of steps is where the longer one went too.
    const auto& shorter = actual.steps.size() < expected.steps.size() ? actual.steps : expected.steps;
    const auto& longer = actual.steps.size() < expected.steps.size() ? expected.steps : actual.steps;
    EXPECT_GT(shorter.size() + 20, longer.size()) << context;
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), longer.begin())) << context;
}

// The server's memory map lists the board's device registers, so gdb reads
// them as on a probe, without `set mem inaccessible-by-default off`.
TEST(QemuGdb, GdbReadsTheBoardsPeripherals) {
    const struct {
        const char* board;
        const char* address;  // as gdb prints it
    } cases[] = {
        {"qemu:mps2-an385", "0xe000e010"},   // SysTick's control and status
        {"qemu:mps2-an385", "0x40004004"},   // UART0's state
        {"qemu:lm3s6965evb", "0xe000e010"},
        {"qemu:lm3s6965evb", "0x4000c018"},  // UART0's flags
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.board) + " " + c.address);
        ServerProcess server;
        ASSERT_TRUE(server.Start({"--target", c.board})) << server.Output();
        const auto gdb = RunGdb(GDB_MULTIARCH, DIORX_IRQ_FIRMWARE_ELF, "remote", server.Port(),
                                {"-ex", std::string("x/1xw ") + c.address}, 60);
        EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
        EXPECT_EQ(gdb.output.find("Cannot access memory"), std::string::npos) << gdb.output;
        ExpectAll(gdb.output, {{"the register's word", (std::string(c.address) + R"(:\s+0x[0-9a-f]{8})").c_str()}});
        EXPECT_EQ(server.Terminate(), 0) << server.Output();
    }
}

#ifdef DIORX_PPC_FIRMWARE_ELF
TEST(QemuGdb, PowerPcProgramOnVirtexThroughTheServer) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:virtex-ml507", "--poll-ms", "10"})) << server.Output();
    const auto gdb = RunScript(server.Port(), DIORX_PPC_FIRMWARE_ELF, "ppc.gdb");
    EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
    ExpectAll(gdb.output, {
        {"the architecture", R"(\(currently "powerpc:common"\))"},
        {"the board's RAM", R"(0x00000000 0x08000000 rw nocache)"},
        {"its flash", R"(0xfc000000 0xfd000000 flash blocksize 0x400 nocache)"},
        {"load writes the image", R"(Loading section \.text, size 0x[0-9a-f]+ lma 0x1000)"},
        {"load sets the pc to the entry point", R"(\$1 = 1\n)"},
        {"the breakpoint is hit", R"(Breakpoint 1, square_plus \(x=x@entry=0\) at .*main\.c:\d+)"},
        {"and hit again on the next call", R"(Breakpoint 1, square_plus \(x=x@entry=1\) at .*main\.c:\d+)"},
        {"the argument in r3", R"(\$2 = 1\n)"},
        {"bt walks into main", R"(#0  square_plus \(x=x@entry=1\) at .*\n#1  0x[0-9a-f]+ in main \(\) at )"},
        {"stepi executes one 4-byte instruction", R"(\$3 = 1\n)"},
        {"the word's bytes as they lie in memory", R"(\$4 = \{0x12, 0x34, 0x56, 0x78\})"},
        {"the word in the target's byte order", R"(\$5 = 0x12345678\n)"},
        {"a write lands big-endian", R"(<marker>:\s+0xa1\s+0xb2\s+0xc3\s+0xd4)"},
        {"a register write reads back", R"(\$6 = 0x11223344\n)"},
        {"finish returns the value", R"(Value returned is \$7 = 2\n)"},
        {"the calls filled the table", R"(<table>:\s+1\s+2\s+5)"},
        {"the machine state register", R"(\$8 = 0x[0-9a-f]+\n)"},
        {"a watched run stops at the count's write",
         R"(Hardware watchpoint 2: counter\n\nOld value = 0\nNew value = 1\nmain \(\) at .*main\.c:\d+)"},
        {"the program's trap stops a watched run",
         R"(Program received signal SIGTRAP, Trace/breakpoint trap\.\nsquare_plus \(x=x@entry=0\) at .*main\.c:\d+)"},
        {"on the trap", R"(\$9 = 1\n)"},
    });
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}

// The lines of ppc_watch.gdb's session that are the same on every stub, from
// the first stop in the handler on: the watchpoints set and hit, the values,
// and the function of each `bt 1` (QEMU's stub reports a watchpoint after the
// access, the server before it, so gdb's step over it ends one instruction
// apart: the line and the address differ, the function does not).
std::vector<std::string> PowerPcWatchLines(const std::string& output) {
    std::vector<std::string> lines;
    bool started = false;
    const std::regex frame(R"(^#0  (0x[0-9a-f]+ in )?(\w+) \()");
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!started) started = line.rfind("Breakpoint 1, decrementer_tick", 0) == 0;
        if (!started) continue;
        std::smatch match;
        if (std::regex_search(line, match, frame)) {
            lines.push_back("#0 " + match[2].str());
        } else {
            for (const char* start : {"Hardware ", "Old value = ", "New value = ", "Value = ", "$"})
                if (line.rfind(start, 0) == 0) lines.push_back(line);
        }
    }
    return lines;
}

// watch, rwatch and awatch on the PowerPC program's decrementer count, which
// only the interrupt handler writes, and on the main loop's copy of it: the
// server's watch by stepping lets the decrementer interrupt and the time base
// run, and stops where QEMU's own watchpoints stop, with the same values.
TEST(QemuGdb, PowerPcWatchesOnADecrementerCounter) {
    const std::string script = std::string(QEMU_TEST_DIR) + "/ppc_watch.gdb";
    ServerProcess qemu;
    ASSERT_TRUE(qemu.StartQemu(QEMU_SYSTEM_PPC, DIORX_PPC_IRQ_ELF, "virtex-ml507")) << qemu.Output();
    const auto reference = RunGdb(GDB_MULTIARCH, DIORX_PPC_IRQ_ELF, "remote", qemu.Port(), {"-x", script}, 60);
    qemu.Terminate();
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:virtex-ml507"})) << server.Output();
    const auto ours = RunGdb(GDB_MULTIARCH, DIORX_PPC_IRQ_ELF, "remote", server.Port(), {"-ex", "load", "-x", script}, 60);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();

    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    ASSERT_EQ(ours.exitStatus, 0) << ours.output;
    const std::vector<std::string> expected = PowerPcWatchLines(reference.output);
    // QEMU's stub went through the session: two writes by the handler, the
    // main loop's read and writes, and the count equal to the main loop's copy.
    std::vector<std::string> functions;
    for (const std::string& line : expected)
        if (line.rfind("#0 ", 0) == 0) functions.push_back(line.substr(3));
    ASSERT_EQ(functions, (std::vector<std::string>{"decrementer_tick", "decrementer_tick", "main", "main", "main",
                                                   "main", "main"}))
        << reference.output;
    for (const char* line : {"Hardware watchpoint 2: ticks", "Old value = 0", "New value = 1",
                             "Hardware read watchpoint 3: ticks", "Hardware watchpoint 4: last_tick",
                             "Hardware access (read/write) watchpoint 5: ticks", "$1 = 1"})
        ASSERT_NE(std::find(expected.begin(), expected.end(), line), expected.end()) << line << "\n" << reference.output;

    EXPECT_EQ(PowerPcWatchLines(ours.output), expected) << "QEMU:\n" << reference.output << "\nserver:\n" << ours.output;
}

// The board has no vector table to start from: the server's --elf image, a
// reset and a restart in extended mode start the program at its entry point.
TEST(QemuGdb, PowerPcImageStartsAtItsEntryPoint) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:virtex-ml507", "--elf", DIORX_PPC_FIRMWARE_ELF})) << server.Output();
    const auto gdb = RunGdb(GDB_MULTIARCH, DIORX_PPC_FIRMWARE_ELF, "extended-remote", server.Port(),
                            {"-ex", "print $pc == _start", "-ex", "break square_plus", "-ex", "continue", "-ex",
                             "monitor reset", "-ex", "maintenance flush register-cache", "-ex", "print $pc == _start",
                             "-ex", "continue", "-ex", "run"},
                            120);
    EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
    ExpectAll(gdb.output, {
        {"the server's image starts at its entry point", R"(\$1 = 1\n)"},
        {"a reset goes back to the entry point", R"(reset: the core is halted, pc 0x[0-9a-f]+\n(.*\n)*\$2 = 1\n)"},
    });
    // From the start, after the --elf download, the reset and the restart:
    // the first call each time, never a later one.
    const std::regex firstCall(R"(Breakpoint 1, square_plus \(x=x@entry=0\))");
    EXPECT_EQ(std::distance(std::sregex_iterator(gdb.output.begin(), gdb.output.end(), firstCall), std::sregex_iterator()), 3)
        << gdb.output;
    EXPECT_EQ(gdb.output.find("x=x@entry=1"), std::string::npos) << gdb.output;
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}

// The monitor commands are the board's: semihosting where the programs can
// make the calls (the ARM boards), and a reset that says where it starts.
TEST(QemuGdb, MonitorCommandsAreTheBoardsOwn) {
    const struct {
        const char* target;
        const char* elf;
        std::vector<gdbtest::Expectation> has;
        std::vector<const char*> lacks;
    } cases[] = {
        {"cortexm",
         DIORX_FIRMWARE_ELF,
         {{"semihosting is offered", R"(  arm semihosting \[enable\|disable\]\n)"},
          {"reset reads the vector table", R"(  reset +reset the core and leave it halted at its reset vector\n)"},
          {"and can be enabled", R"(semihosting is enabled\n)"}},
         {}},
        {"qemu:virtex-ml507",
         DIORX_PPC_FIRMWARE_ELF,
         {{"reset starts at the image", R"(  reset +reset the core and leave it halted at the --elf image's entry point\n)"},
          {"the command does not exist", R"(unknown monitor command 'arm semihosting enable')"}},
         {"semihosting is", "arm semihosting [", "reset vector"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ServerProcess server;
        ASSERT_TRUE(server.Start({"--target", c.target})) << server.Output();
        const auto gdb = RunGdb(GDB_MULTIARCH, c.elf, "remote", server.Port(),
                                {"-ex", "monitor help", "-ex", "monitor arm semihosting enable"}, 60);
        ExpectAll(gdb.output, c.has);
        for (const char* text : c.lacks) EXPECT_EQ(gdb.output.find(text), std::string::npos) << text << "\n" << gdb.output;
        EXPECT_EQ(server.Terminate(), 0) << server.Output();
    }
}
#endif

#ifdef DIORX_FREERTOS_ELF
// The application's tasks (their names and task functions), and a function
// one of them reaches once the scheduler runs, where the tests stop it.
const std::vector<std::pair<std::string, std::string>> kFreeRtosTasks = {
    {"producer", "producer_task"}, {"consumer", "consumer_task"}, {"logger", "logger_task"},
    {"Tmr Svc", "prvTimerTask"},   {"IDLE", "prvIdleTask"}};
const std::string kFreeRtosStop = "produce_item";

// The FreeRTOS application's tasks as gdb's threads: one thread before the
// scheduler starts, then every task with its name and state; a blocked
// task's stack down to its task function; the stop names the running task.
// --rtos none leaves one thread.
TEST(QemuGdb, FreeRtosTasksAreThreads) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:mps2-an385"})) << server.Output();
    const auto gdb = RunGdb(GDB_MULTIARCH, DIORX_FREERTOS_ELF, "remote", server.Port(),
                            {"-ex", "load", "-ex", "monitor reset", "-ex", "info threads", "-ex",
                             "break " + kFreeRtosStop, "-ex", "continue", "-x",
                             std::string(QEMU_TEST_DIR) + "/freertos_threads.gdb"},
                            120);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
    EXPECT_NE(server.Output().find("rtos: FreeRTOS found"), std::string::npos) << server.Output();
    ASSERT_EQ(gdb.exitStatus, 0) << gdb.output;
    const std::string thread = R"(Thread \d+ \(Name: )";  // gdb shows the TCB's address in decimal
    ExpectAll(gdb.output, {
        {"one thread before the scheduler starts", R"(\* 1 +Thread 1 \(Scheduler not running\) +(0x[0-9a-f]+ in )?Reset_Handler)"},
        {"the stop names the running task", R"(\[Switching to Thread \d+\])"},
        {"the running task", (R"(\* \d+ +)" + thread + R"([^,]+, State: Running, Priority: \d+\) )" + kFreeRtosStop).c_str()},
        {"the idle task", (thread + R"(IDLE, State: Ready, Priority: 0\))").c_str()},
    });
    for (const auto& [name, function] : kFreeRtosTasks) {
        SCOPED_TRACE(name);
        ExpectAll(gdb.output, {
            {"listed with its name", (thread + name + ", State: (Running|Ready|Blocked|Suspended), Priority: \\d+\\)").c_str()},
            {"thread apply all bt reaches its task function",
             (R"(Thread \d+ \(Thread \d+ \(Name: )" + name + R"(,[^\n]*\):\n(#\d+ [^\n]*\n)*#\d+ +(0x[0-9a-f]+ in )?)" +
              function + " ").c_str()},
        });
    }
    // Every blocked task picked by `thread N`: its stack from the kernel's
    // blocking call down to its task function.
    const std::regex blocked(R"(blocked task ([^:\n]+):\n((#\d+ [^\n]*\n)+))");
    int count = 0;
    for (auto it = std::sregex_iterator(gdb.output.begin(), gdb.output.end(), blocked); it != std::sregex_iterator(); ++it) {
        ++count;
        const std::string name = (*it)[1], frames = (*it)[2];
        SCOPED_TRACE(name + ":\n" + frames);
        EXPECT_TRUE(std::regex_search(frames, std::regex(R"(^#0 +(0x[0-9a-f]+ in )?\w+ \()"))) << "a frame of its own";
        EXPECT_TRUE(std::regex_search(frames, std::regex(R"(\n#[1-9]\d* +(0x[0-9a-f]+ in )?\w+ \()"))) << "and its callers";
        EXPECT_EQ(frames.find("Backtrace stopped"), std::string::npos);
        for (const auto& [task, function] : kFreeRtosTasks)
            if (task == name) {
                EXPECT_NE(frames.find(" " + function + " ("), std::string::npos) << function;
            }
    }
    EXPECT_GT(count, 0) << "no task was blocked:\n" << gdb.output;
    if (::testing::Test::HasFailure()) std::cout << gdb.output;
}

TEST(QemuGdb, FreeRtosWithoutRtosAwarenessIsOneThread) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:mps2-an385", "--rtos", "none"})) << server.Output();
    const auto gdb = RunGdb(GDB_MULTIARCH, DIORX_FREERTOS_ELF, "remote", server.Port(),
                            {"-ex", "load", "-ex", "monitor reset", "-ex", "break " + kFreeRtosStop, "-ex",
                             "continue", "-ex", "info threads"},
                            120);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
    ASSERT_EQ(gdb.exitStatus, 0) << gdb.output;
    ExpectAll(gdb.output, {{"the one thread", (R"(\* 1    Thread 1 +)" + kFreeRtosStop).c_str()}});
    EXPECT_EQ(gdb.output.find("Name: "), std::string::npos) << gdb.output;
    EXPECT_EQ(gdb.output.find("Switching to Thread"), std::string::npos) << gdb.output;
}
#endif

}  // namespace
