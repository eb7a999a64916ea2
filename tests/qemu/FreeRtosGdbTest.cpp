// gdb-multiarch on the FreeRTOS application (firmware/freertos) on QEMU's
// mps2-an385, through orxdbg's GDB server and on QEMU's own stub: the same
// session, the same stops.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/gdbserver/Processes.h"

namespace {

using gdbtest::ExpectAll;
using gdbtest::RunGdb;
using gdbtest::ServerProcess;

const std::string kScript = std::string(QEMU_TEST_DIR) + "/freertos.gdb";

// What tests/qemu/freertos.gdb must show on either stub.
const std::vector<gdbtest::Expectation> kSession = {
    {"the producer makes the first item", R"(Breakpoint 2, produce_item \(\) at .*main\.c:\d+)"},
    {"bt in the producer", R"(#0  produce_item \(\) at .*\n#1  0x[0-9a-f]+ in producer_task \(arg=)"},
    {"the consumer takes it", R"(Breakpoint 3, consume_item \(item=(item@entry=)?1\) at .*main\.c:\d+)"},
    {"bt in the consumer",
     R"(#0  consume_item \(item=(item@entry=)?1\) at .*\n#1  0x[0-9a-f]+ in consumer_task \(arg=)"},
    {"finish returns to the task",
     R"(\n0x[0-9a-f]+ in consumer_task \(arg=.*\n.*\nValue returned is \$1 = 1\n)"},
    {"the watch stops at the producer's next write, after its sleep",
     R"(Hardware watchpoint 4: producer_count\n\nOld value = 1\nNew value = 2\nproduce_item \(\) at .*main\.c:\d+\n)"},
    {"and at the one after", R"(\nOld value = 2\nNew value = 3\nproduce_item \(\) at .*main\.c:\d+\n)"},
    {"PendSV is entered", R"(Breakpoint 5, (0x[0-9a-f]+ in )?PendSV_Handler \(\))"},
    {"as exception 14", R"(\$2 = 0xe\n)"},
    {"stepi goes through the handler into the kernel's choice",
     R"(=> 0x[0-9a-f]+ <PendSV_Handler\+\d+>:.*\n(.*\n)*PENDSV PATH PendSV_Handler vTaskSwitchContext\n)"},
    {"bt there", R"(#0  vTaskSwitchContext \(\) at .*tasks\.c:\d+\n#1  0x[0-9a-f]+ in PendSV_Handler \(\))"},
    {"finish back into the handler", R"(\n0x[0-9a-f]+ in PendSV_Handler \(\) at .*port\.c:\d+\n.*\n\$3 = )"},
    {"which switches to the consumer", R"(\$3 = "consumer\\000)"},
    {"the consumer takes the item just sent", R"(Breakpoint 6, consume_item \(item=(item@entry=)?3\) at )"},
    {"Ctrl-C stops the free run", R"(Program received signal SIGINT, Interrupt\.)"},
    {"the kernel still counts five tasks", R"(\$4 = 5\n)"},
    {"the producer ran on before Ctrl-C", R"(\$5 = 1\n)"},
    {"the task lists are whole", R"(TASK LISTS CLOSED 1\n)"},
    {"with each task in them", R"(TASKS IN LISTS IDLE,Tmr Svc,consumer,logger,producer\n)"},
    {"the producer runs on", R"(Temporary breakpoint \d+, produce_item \(\))"},
    {"the consumer runs on", R"(Temporary breakpoint \d+, consume_item \(item=)"},
    {"the logger runs on", R"(Temporary breakpoint \d+, log_line \(\))"},
    {"the timer service runs the heartbeat", R"(Temporary breakpoint \d+, heartbeat \(timer=)"},
    {"still counting", R"(\$6 = 1\n)"},
    {"no assertion failed", R"(\$7 = 0\n)"},
};

// gdb's lines from the first stop in the producer on, in two parts: up to
// Ctrl-C, where the program's order alone decides each stop; and from the
// first print after it, with the consumed item's number (it depends on how
// long the run went on) left out. The detach line names the process
// differently on each stub. A line printed twice in a row is kept once: now
// and then QEMU ends a single step without moving the PC when a timer event
// falls into it, on its own stub as behind the server.
struct Session {
    std::vector<std::string> ordered;
    std::vector<std::string> after;
};
Session Split(const std::string& output) {
    Session session;
    std::vector<std::string>* part = nullptr;
    bool interrupted = false;
    const std::regex item(R"((item=(item@entry=)?)\d+)");
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!part && line.rfind("Breakpoint 2, produce_item", 0) == 0) part = &session.ordered;
        if (line.find("Program received signal SIGINT") != std::string::npos) {
            interrupted = true;
            part = nullptr;
        }
        if (interrupted && !part && line.rfind("$", 0) == 0) part = &session.after;
        if (!part || line.rfind("[Inferior 1 ", 0) == 0) continue;
        line = std::regex_replace(line, item, "$1N");
        if (!part->empty() && part->back() == line) continue;
        part->push_back(line);
    }
    return session;
}

TEST(QemuFreeRtos, SessionThroughTheServerAsOnQemusOwnStub) {
    ServerProcess qemu;
    ASSERT_TRUE(qemu.StartQemu(QEMU_SYSTEM_ARM, DIORX_FREERTOS_ELF, "mps2-an385")) << qemu.Output();
    const auto reference = RunGdb(GDB_MULTIARCH, DIORX_FREERTOS_ELF, "remote", qemu.Port(), {"-x", kScript}, 60);
    qemu.Terminate();
    ServerProcess server;
    // QEMU's stub shows one thread: so does the server without its view of
    // the tasks (QemuGdb.FreeRtosTasksAreThreads has that view).
    ASSERT_TRUE(server.Start({"--target", "qemu:mps2-an385", "--rtos", "none"})) << server.Output();
    const auto ours = RunGdb(GDB_MULTIARCH, DIORX_FREERTOS_ELF, "remote", server.Port(),
                             {"-ex", "load", "-ex", "monitor reset", "-x", kScript}, 60);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();

    for (const auto* run : {&reference, &ours}) {
        SCOPED_TRACE(run == &reference ? "QEMU's own stub" : "the server");
        EXPECT_EQ(run->exitStatus, 0) << run->output;
        ExpectAll(run->output, kSession);
        EXPECT_EQ(run->output.find("Breakpoint 1, vAssertCalled"), std::string::npos) << run->output;
    }

    const Session expected = Split(reference.output);
    const Session actual = Split(ours.output);
    const auto context = "QEMU:\n" + reference.output + "\nserver:\n" + ours.output;
    ASSERT_FALSE(expected.ordered.empty()) << context;
    ASSERT_FALSE(expected.after.empty()) << context;
    EXPECT_EQ(actual.ordered, expected.ordered) << context;
    EXPECT_EQ(actual.after, expected.after) << context;
}

}  // namespace
