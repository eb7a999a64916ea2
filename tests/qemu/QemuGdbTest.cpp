// gdb-multiarch through orxdbg's GDB server on QEMU's mps2-an385 board: the
// interrupt firmware debugged as with any probe.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/gdbserver/Processes.h"

namespace {

using gdbtest::RunProcess;
using gdbtest::ServerProcess;

TEST(QemuGdb, InterruptFirmwareOnMps2ThroughTheServer) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:mps2-an385", "--poll-ms", "10"})) << server.Output();
    const auto gdb = RunProcess({GDB_MULTIARCH, "-batch", "-nx", "-q", DIORX_IRQ_FIRMWARE_ELF, "-ex",
                                 "target remote 127.0.0.1:" + std::to_string(server.Port()), "-x",
                                 std::string(QEMU_TEST_DIR) + "/mps2_irq.gdb"},
                                120);
    EXPECT_EQ(gdb.exitStatus, 0) << gdb.output;
    struct Expectation {
        const char* what;
        const char* pattern;
    };
    const Expectation expectations[] = {
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
    };
    for (const Expectation& e : expectations)
        EXPECT_TRUE(std::regex_search(gdb.output, std::regex(e.pattern))) << e.what << ": /" << e.pattern << "/ in\n"
                                                                          << gdb.output;
    // x/ of the tick counter grows between stops.
    std::vector<long> ticks;
    const std::regex line(R"(<ticks>:\s+(\d+))");
    for (auto it = std::sregex_iterator(gdb.output.begin(), gdb.output.end(), line); it != std::sregex_iterator(); ++it)
        ticks.push_back(std::stol((*it)[1]));
    ASSERT_EQ(ticks.size(), 3u) << gdb.output;
    EXPECT_LT(ticks[0], ticks[1]);
    EXPECT_LT(ticks[1], ticks[2]);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
}

}  // namespace
