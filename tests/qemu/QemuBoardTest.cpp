// QEMU's machines behind the simulated host: whole orxdbg sessions through
// the built module on each board, and what happens when QEMU dies under a
// run or a download, or the tool dies under QEMU.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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
using gdbtest::RunProcess;
using namespace std::chrono_literals;

std::vector<std::string> Orxdbg(const std::string& board, const std::vector<std::string>& commands) {
    std::vector<std::string> argv{ORXDBG_PROGRAM, "--target", board, "--timeout", "20"};
    for (const std::string& c : commands) {
        argv.push_back("-c");
        argv.push_back(c);
    }
    return argv;
}

// Numbers printed by "x/1dw SYMBOL" lines, in order.
std::vector<long> Values(const std::string& output, const std::string& symbol) {
    std::vector<long> values;
    const std::regex line("<" + symbol + ">:\\s+(-?\\d+)");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), line); it != std::sregex_iterator(); ++it)
        values.push_back(std::stol((*it)[1]));
    return values;
}

TEST(QemuBoards, InterruptFirmwareOnMps2ThroughOrxdbg) {
    const auto run = RunProcess(Orxdbg("qemu:mps2-an385", {"load " DIORX_IRQ_FIRMWARE_ELF,
                                                            "break HardFault_Handler", "continue",
                                                            "info registers XPSR", "delete",
                                                            "break SysTick_Handler", "continue", "x/1dw ticks",
                                                            "x/1xw fault_address",
                                                            "continue", "x/1dw ticks", "continue", "x/1dw ticks",
                                                            "info registers LR", "delete",
                                                            "break task_a_work", "continue", "delete 3",
                                                            "break task_b_work", "continue", "x/1dw switches"}),
                                120);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    ExpectAll(run.output, {
        {"the UART hello on the tool's console", R"(hello from mps2-an385)"},
        {"the fault handler is entered", R"(breakpoint 1 at 0x[0-9a-f]+ <HardFault_Handler>)"},
        {"in handler mode, HardFault", R"(exception 3 \(HardFault\))"},
        {"the bad access is the one recorded", R"(<fault_address>:\s+0x30000000)"},
        {"the program survived the fault", R"(fault handled)"},
        {"the SysTick handler is hit", R"(breakpoint \d+ at 0x[0-9a-f]+ <SysTick_Handler>)"},
        {"the handler returns through an exception return code", R"(LR 0xfffffff[19d])"},
        {"task A is reached", R"(breakpoint \d+ at 0x[0-9a-f]+ <task_a_work>)"},
        {"task B is reached after a PendSV switch", R"(breakpoint \d+ at 0x[0-9a-f]+ <task_b_work>)"},
    });
    const auto ticks = Values(run.output, "ticks");
    ASSERT_EQ(ticks.size(), 3u) << run.output;
    EXPECT_LT(ticks[0], ticks[1]);
    EXPECT_LT(ticks[1], ticks[2]);
    const auto switches = Values(run.output, "switches");
    ASSERT_EQ(switches.size(), 1u) << run.output;
    EXPECT_GE(switches[0], 1);
}

#ifdef DIORX_PPC_FIRMWARE_ELF
TEST(QemuBoards, PowerPcProgramOnVirtexThroughOrxdbg) {
    const auto run = RunProcess(Orxdbg("qemu:virtex-ml507", {"load " DIORX_PPC_FIRMWARE_ELF, "break square_plus",
                                                              "continue", "continue", "info registers R3", "step",
                                                              "step", "info registers R3", "info registers LR",
                                                              "x/1xw marker", "x/4xb marker", "delete", "step 3",
                                                              "x/2dw table"}),
                                120);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    ExpectAll(run.output, {
        {"the family is PowerPC", R"(as C:\\Tools\\qdvppc\.exe)"},
        {"the breakpoint is hit", R"(status: breakpoint \(cause 4\), breakpoint 1 at 0x00001018 <square_plus>)"},
        {"the argument of the second call", R"(R3 0x00000001  1)"},
        {"a step executes one instruction", R"(=> 0x0000101c <square_plus\+0x4>:\s+addi\s+r3, r3, 1)"},
        {"the result after two steps", R"(R3 0x00000002  2)"},
        {"the link register returns into main", R"(LR 0x[0-9a-f]+  0x[0-9a-f]+ <main\+0x[0-9a-f]+>)"},
        {"a word in the target's byte order", R"(<marker>:\s+0x12345678)"},
        {"its bytes as they lie in memory", R"(<marker>:\s+0x12\s+0x34\s+0x56\s+0x78)"},
        {"the table the calls filled", R"(<table>:\s+1\s+2)"},
    });
}
#endif

// What orxdbg says about the board comes from the board: its processor's
// designator, its registers, its ELF files and instruction set; nothing
// of the ARM boards' where another family runs.
TEST(QemuBoards, OrxdbgSpeaksOfTheBoardsOwnProcessor) {
    const struct {
        const char* board;
        const char* processor;
        const char* elf;
        const char* isa;
        const char* registers;
    } cases[] = {
        {"qemu:virtex-ml507", "PPC440", "big-endian PowerPC ELF", "PowerPC", "R0..R31, PC, MSR, CR, LR, CTR, XER"},
        {"qemu:petalogix-s3adsp1800", "MICROBLAZE", "big-endian MicroBlaze ELF", "MicroBlaze", "R0..R31, PC, MSR"},
        {"qemu:10m50-ghrd", "NIOS2", "little-endian Nios II ELF", "Nios II", "R0..R31, PC, STATUS"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.board);
        auto argv = Orxdbg(c.board, {"open", "help load", "help break", "help disassemble", "help reset",
                                     "info registers XPSR"});
        argv.insert(argv.begin() + 1, "--keep-going");
        const auto run = RunProcess(argv, 60);
        EXPECT_EQ(run.exitStatus, 1) << run.output;
        const std::string processor = std::string(R"(opened .*, processor )") + c.processor;
        const std::string elf = std::string("download a 32-bit ") + c.elf + " file";
        const std::string isa = std::string("on the ") + c.isa + " instruction";
        const std::string registers = std::string(R"(unknown register 'XPSR' \()") + c.registers + R"(\))";
        ExpectAll(run.output, {{"the designator", processor.c_str()},
                               {"the ELF files it loads", elf.c_str()},
                               {"its instructions", isa.c_str()},
                               {"a reset starts the program", "restarts at the loaded image's entry point"},
                               {"its registers", registers.c_str()}});
        for (const char* arm : {"CORTEXM", "Thumb", "ARM", "vector table"})
            EXPECT_EQ(run.output.find(arm), std::string::npos) << arm << " in\n" << run.output;
    }
}

#ifdef DIORX_PPC_FIRMWARE_ELF
// A reset on a board without a vector table starts the loaded program again
// at its entry point, as the GDB server's does.
TEST(QemuBoards, ResetOnPowerPcStartsAtTheEntryPoint) {
    const auto run = RunProcess(Orxdbg("qemu:virtex-ml507", {"load " DIORX_PPC_FIRMWARE_ELF, "step 3", "reset",
                                                              "info registers PC"}),
                                60);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    ExpectAll(run.output, {{"the reset says where", R"(reset: the processor restarts at the image's entry point 0x00001000 <_start>)"},
                           {"and the pc is there", R"(PC 0x00001000)"}});
}
#endif

struct HandCodedCase {
    const char* board;
    const char* image;
    const char* family;   // in the front-end path
    uint32_t base;
    uint32_t function;    // the called function
};

// The same hand-encoded program on both: r3 counts loop passes, the call
// adds 2 to r4, the loop stores r3 at base + 0x100.
TEST(QemuBoards, HandEncodedProgramsThroughOrxdbg) {
    const HandCodedCase cases[] = {
        {"qemu:petalogix-s3adsp1800", DIORX_SOURCE_DIR "/firmware/microblaze_loop.hex", "qdvmb", 0x00000000, 0x00000018},
        {"qemu:10m50-ghrd", DIORX_SOURCE_DIR "/firmware/nios2_loop.hex", "qdvnios", 0xc8000000, 0xc800001c},
    };
    for (const HandCodedCase& c : cases) {
        SCOPED_TRACE(c.board);
        char function[16], stored[16];
        std::snprintf(function, sizeof function, "0x%08x", c.function);
        std::snprintf(stored, sizeof stored, "0x%08x", c.base + 0x100);
        const auto run = RunProcess(Orxdbg(c.board, {std::string("load ") + c.image, "step 3", "info registers R3",
                                                     std::string("break ") + function, "continue",
                                                     "info registers R4", "continue", "info registers R4",
                                                     "delete", "step 3", std::string("x/1dw ") + stored,
                                                     "write reg R3 0x1234", std::string("x/4xb ") + stored}),
                                    120);
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        const std::string f(function);
        ExpectAll(run.output, {
            {"the family", c.family},
            {"three steps ran the first pass", R"(R3 0x00000001  1)"},
            {"the breakpoint in the function is hit", ("status: breakpoint \\(cause 4\\), breakpoint 1 at " + f).c_str()},
            {"the memory the loop stored to", (std::string(stored) + ":\\s+\\d+").c_str()},
            {"a register write reads back", R"(R3 = 0x00001234)"},
        });
        // The call adds 2 to r4 each time round.
        const std::regex r4("R4 0x([0-9a-f]{8})");
        std::vector<unsigned long> r4s;
        for (auto it = std::sregex_iterator(run.output.begin(), run.output.end(), r4); it != std::sregex_iterator(); ++it)
            r4s.push_back(std::stoul((*it)[1], nullptr, 16));
        ASSERT_EQ(r4s.size(), 2u) << run.output;
        EXPECT_EQ(r4s[1] - r4s[0], 2u);
    }
}

// ---- QEMU dying, and the tool dying --------------------------------------------

// The children of a process (all its threads'), from /proc.
std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream in(tasks + "/" + entry->d_name + "/children");
            for (pid_t child; in >> child;) children.push_back(child);
        }
        closedir(dir);
    }
    return children;
}

// Gone, or a zombie nobody has reaped yet: either way no longer running.
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

struct Started {
    pid_t tool = -1;
    pid_t qemu = -1;
    std::string outputPath;
};

// orxdbg running the demo firmware into its endless loop, and its QEMU.
Started StartRunningTool() {
    Started s;
    char path[] = "/tmp/diorx-qemu-test-XXXXXX";
    const int fd = mkstemp(path);
    s.outputPath = path;
    const auto argv = Orxdbg("qemu:mps2-an385", {"load " DIORX_FIRMWARE_ELF, "continue"});
    s.tool = fork();
    if (s.tool == 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fd);
    for (int i = 0; i < 200 && s.qemu < 0; ++i) {
        std::this_thread::sleep_for(50ms);
        std::ifstream in(s.outputPath);
        const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto children = Children(s.tool);
        if (!children.empty() && output.find("> continue") != std::string::npos) s.qemu = children.front();
    }
    return s;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Waits at most seconds for pid; its exit status, -1 for a signal, -2 on time-out.
int WaitFor(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(50ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

// orxdbg with its output in a file, started and waited for until the output
// shows marker (the command under way); its QEMU, if the board has one.
Started StartTool(const std::vector<std::string>& argv, const std::string& marker, bool qemu) {
    Started s;
    char path[] = "/tmp/diorx-qemu-test-XXXXXX";
    const int fd = mkstemp(path);
    s.outputPath = path;
    s.tool = fork();
    if (s.tool == 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fd);
    for (int i = 0; i < 400; ++i) {
        std::this_thread::sleep_for(50ms);
        const std::string output = Contents(s.outputPath);
        const auto children = Children(s.tool);
        if (qemu && !children.empty()) s.qemu = children.front();
        if (output.find(marker) != std::string::npos && (!qemu || s.qemu > 0)) break;
    }
    return s;
}

// A step of many instructions is a run like a continue: the time-out cancels
// it (the command fails, and so does the tool) and Ctrl-C interrupts it, both
// within a poll or two.
TEST(QemuBoards, ALongStepIsCancelledByTheTimeoutAndByCtrlC) {
    struct Case {
        const char* board;
        int signal;     // sent once the step is under way; 0: the time-out ends it
        int exitStatus;
        const char* says;
    };
    // (The in-process core runs 65536 steps, the most a step takes, in
    // well under a second: only QEMU's, a packet a step, is long enough.)
    const Case cases[] = {
        {"qemu:mps2-an385", 0, 1, R"(error: step did not stop within 2 s \(--timeout\))"},
        {"qemu:mps2-an385", SIGINT, 130, R"(interrupted: the processor is halted)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.board) + (c.signal ? " with Ctrl-C" : " with --timeout"));
        const std::vector<std::string> argv{ORXDBG_PROGRAM, "--target", c.board, "--timeout", c.signal ? "60" : "2",
                                            "-c", "load " DIORX_FIRMWARE_ELF, "-c", "step 65536"};
        Started s = StartTool(argv, "> step", std::string(c.board) != "cortexm");
        const auto sent = std::chrono::steady_clock::now();
        if (c.signal) {
            std::this_thread::sleep_for(500ms);  // the step is under way
            kill(s.tool, c.signal);
        }
        const int status = WaitFor(s.tool, 20);
        const auto took = std::chrono::steady_clock::now() - sent;
        const std::string output = Contents(s.outputPath);
        unlink(s.outputPath.c_str());
        EXPECT_EQ(status, c.exitStatus) << output;
        EXPECT_LT(took, 10s) << output;
        ExpectAll(output, {{"how the step ended", c.says}});
        if (s.qemu > 0) {
            EXPECT_TRUE(Ended(s.qemu));
        }
    }
}

TEST(QemuBoards, QemuKilledDuringAContinueFailsTheRunWithItsStory) {
    Started s = StartRunningTool();
    ASSERT_GT(s.qemu, 0) << Contents(s.outputPath);
    std::this_thread::sleep_for(300ms);  // the run is under way
    kill(s.qemu, SIGKILL);
    const int status = WaitFor(s.tool, 30);
    const std::string output = Contents(s.outputPath);
    unlink(s.outputPath.c_str());
    EXPECT_EQ(status, 1) << output;
    ExpectAll(output, {
        {"which machine, and how it ended", R"(error: QEMU machine mps2-an385: .*killed by signal 9)"},
        {"the continue fails", R"(DiExecContinue returned GdiFailed)"},
    });
    EXPECT_TRUE(Ended(s.qemu));
}

// The same under the GDB server: gdb hears that the program is gone (not
// "Could not read registers" after an E0e), the server's log says why, and
// the server ends instead of serving the dead target to the next client.
TEST(QemuBoards, QemuKilledUnderTheServerEndsTheProgramAndTheServer) {
    gdbtest::ServerProcess server;
    ASSERT_TRUE(server.Start({"--target", "qemu:mps2-an385"})) << server.Output();
    const auto children = Children(server.Pid());
    ASSERT_FALSE(children.empty()) << server.Output();
    const pid_t qemu = children.front();
    std::thread killer([&] {
        std::this_thread::sleep_for(4s);  // gdb has loaded the program and continued
        kill(qemu, SIGKILL);
    });
    const auto gdb = gdbtest::RunGdb(GDB_MULTIARCH, DIORX_IRQ_FIRMWARE_ELF, "remote", server.Port(),
                                     {"-ex", "load", "-ex", "monitor reset", "-ex", "continue", "-ex", "info registers pc"}, 60);
    killer.join();
    ExpectAll(gdb.output, {
        {"gdb is told the program is gone", R"(Program terminated with signal SIGKILL)"},
        {"and asks nothing more of it", R"(The program has no registers now)"},
    });
    EXPECT_EQ(gdb.output.find("Could not read registers"), std::string::npos) << gdb.output;
    EXPECT_EQ(server.Terminate(), 1) << server.Output();
    ExpectAll(server.Output(), {
        {"the log says why", R"(error: the target is lost: QEMU machine mps2-an385: .*killed by signal 9)"},
        {"and that no client is served", R"(the target is lost, no client is served any more)"},
    });
}

// The folder QEMU was given for its gdb socket, from its command line.
std::string QemuFolder(pid_t qemu) {
    std::ifstream in("/proc/" + std::to_string(qemu) + "/cmdline");
    const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::smatch m;
    return std::regex_search(line, m, std::regex("path=(/tmp/diorx-qemu-[^/]+)/gdb\\.sock")) ? m[1].str() : "";
}

TEST(QemuBoards, TheToolKilledTakesItsQemuAlong) {
    Started s = StartRunningTool();
    ASSERT_GT(s.qemu, 0) << Contents(s.outputPath);
    // A killed tool cannot take its QEMU's folder along: the test does.
    const std::string folder = QemuFolder(s.qemu);
    kill(s.tool, SIGKILL);
    WaitFor(s.tool, 10);
    unlink(s.outputPath.c_str());
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = Ended(s.qemu);
        if (!ended) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(ended) << "QEMU " << s.qemu << " outlived the tool";
    if (!ended) kill(s.qemu, SIGKILL);
    if (!folder.empty()) std::filesystem::remove_all(folder);
}

// SIGTERM (what `timeout` sends) ends the tool as Ctrl-C ends a script, and
// takes QEMU and its private folder along.
TEST(QemuBoards, SigtermEndsTheToolWithNothingLeftBehind) {
    Started s = StartRunningTool();
    ASSERT_GT(s.qemu, 0) << Contents(s.outputPath);
    const std::string folder = QemuFolder(s.qemu);
    ASSERT_FALSE(folder.empty());
    ASSERT_EQ(access(folder.c_str(), F_OK), 0) << folder;
    std::this_thread::sleep_for(300ms);  // the run is under way
    kill(s.tool, SIGTERM);
    const int status = WaitFor(s.tool, 20);
    const std::string output = Contents(s.outputPath);
    unlink(s.outputPath.c_str());
    EXPECT_EQ(status, 128 + SIGTERM) << output;
    ExpectAll(output, {{"the run is cancelled", R"(interrupted: the processor is halted)"},
                       {"and the rest not run", R"(error: terminated by a signal)"}});
    EXPECT_TRUE(Ended(s.qemu)) << "QEMU " << s.qemu << " outlived the tool";
    EXPECT_NE(access(folder.c_str(), F_OK), 0) << folder << " was left behind";
    if (!Ended(s.qemu)) kill(s.qemu, SIGKILL);
}

// The core itself: a download whose QEMU dies half-way fails with the
// machine's name; every later call fails the same way, and nothing is left.
TEST(QemuCore, QemuKilledDuringADownload) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    sim::QemuCore core(*board);
    const pid_t qemu = core.ProcessId();
    ASSERT_GT(qemu, 0);
    std::vector<uint32_t> block(sim::QemuCore::kTransferLimit, 0xA5);
    ASSERT_TRUE(core.BeginDownload(0));
    ASSERT_TRUE(core.WriteBlock(0, block.data(), 0, sim::QemuCore::kTransferLimit));
    kill(qemu, SIGKILL);
    std::string message;
    try {
        for (uint64_t at = 1024; at < 64 * 1024; at += 1024) core.WriteBlock(0, block.data(), at, 1024);
    } catch (const sim::CoreFailure& e) {
        message = e.what();
    }
    EXPECT_NE(message.find("QEMU machine mps2-an385"), std::string::npos) << message;
    EXPECT_NE(message.find("killed by signal 9"), std::string::npos) << message;
    EXPECT_THROW(core.IsHalted(), sim::CoreFailure);
    EXPECT_THROW(core.EndDownload(0), sim::CoreFailure);
    EXPECT_EQ(core.ProcessId(), -1);
    EXPECT_TRUE(Ended(qemu));
}

// A QEMU that cannot start at all is a clear failure too.
TEST(QemuCore, AQemuThatCannotStartSaysWhy) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    sim::QemuCore::Options options;
    options.program = "/bin/false";
    try {
        sim::QemuCore core(*board, options);
        ADD_FAILURE() << "a core without QEMU started";
    } catch (const sim::CoreFailure& e) {
        EXPECT_NE(std::string(e.what()).find("QEMU machine mps2-an385: QEMU exited at start with status 1"),
                  std::string::npos)
            << e.what();
    }
}

// A QEMU that a loaded machine starts slowly is waited for; one that burns
// its processor time without its stub coming up, or one that never runs,
// fails with the reason. The stand-in stub holds its socket back.
TEST(QemuCore, ASlowQemuIsWaitedForAndAStuckOneSaysWhy) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    const struct {
        const char* name;
        const char* variable;
        const char* seconds;
        std::chrono::milliseconds cpuBudget, wallLimit;
        const char* failure;  // null: comes up
    } cases[] = {
        // Longer than any fixed limit a few seconds long would allow.
        {"slow to listen", "DIORX_FAKE_START_DELAY", "12", 30000ms, 300000ms, nullptr},
        {"busy without listening", "DIORX_FAKE_START_SPIN", "20", 1000ms, 300000ms, "ms of processor time without listening"},
        {"never running", "DIORX_FAKE_START_DELAY", "20", 30000ms, 1500ms, "did not come up within 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv(c.variable, c.seconds, 1);
        sim::QemuCore::Options options;
        options.program = QEMU_TEST_DIR "/fake_stub.py";
        options.startCpuBudget = c.cpuBudget;
        options.startWallLimit = c.wallLimit;
        try {
            sim::QemuCore core(*board, options);
            EXPECT_EQ(c.failure, nullptr) << "came up";
            EXPECT_TRUE(core.IsNotStarted());
        } catch (const sim::CoreFailure& e) {
            if (!c.failure)
                ADD_FAILURE() << e.what();
            else
                EXPECT_NE(std::string(e.what()).find(c.failure), std::string::npos) << e.what();
        }
        ::unsetenv(c.variable);
    }
}

}  // namespace

// What the core makes of the signal QEMU ends a single step with: a trap is a
// step done; any other signal (a fault the stub reports, the machine shutting
// down) is a step that did not complete, which the host's step turns into a
// failure. A stand-in stub answers the steps with the signals of each case;
// the flag is the last step's only, and a multi-step ends at the fault.
TEST(QemuCore, AStepThatQemuEndsWithAFaultSignalFaulted) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    struct Case {
        const char* signals;  // the stub's answers to the steps, in turn
        uint32_t count;       // the one Step call's count
        bool faulted;
    };
    const Case cases[] = {
        {"05", 1, false},        // a trap
        {"0b", 1, true},         // SIGSEGV
        {"07", 1, true},         // SIGBUS
        {"03", 1, true},         // SIGQUIT: QEMU's machine shut down
        {"05,05,0b", 3, true},   // the third of three
        {"05,0b,05", 3, true},   // the second
        {"05,05,05", 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.signals) + " x" + std::to_string(c.count));
        ::setenv("DIORX_FAKE_STEP_SIGNALS", c.signals, 1);
        sim::QemuCore::Options options;
        options.program = QEMU_TEST_DIR "/fake_stub.py";
        options.replyTimeout = 5000ms;
        sim::QemuCore core(*board, options);
        core.Step(c.count);
        EXPECT_EQ(core.StepFaulted(), c.faulted);
        EXPECT_TRUE(core.IsHalted());
    }
    // A multi-step ends at the fault (the stub's next answer goes to the
    // next step), and the next step that completes clears the flag.
    ::setenv("DIORX_FAKE_STEP_SIGNALS", "05,0b,07,05", 1);
    sim::QemuCore::Options options;
    options.program = QEMU_TEST_DIR "/fake_stub.py";
    sim::QemuCore core(*board, options);
    core.Step(3);
    EXPECT_TRUE(core.StepFaulted());
    core.Step(1);
    EXPECT_TRUE(core.StepFaulted()) << "the step after the fault got the stub's answer to a later one";
    core.Step(1);
    EXPECT_FALSE(core.StepFaulted());
    ::unsetenv("DIORX_FAKE_STEP_SIGNALS");
}

// The registers the core answers with are the stub's, however QEMU's stub
// serves them (its g packed in number order with a target description, a g
// of another layout, a g that fails, no description at all), after writes of
// which the stub keeps only part (an M-profile SP, PC and xPSR), and after a
// reset that changes them all. A stand-in stub holds a Cortex-M's registers
// and keeps of each write what QEMU's mps2-an385 keeps.
TEST(QemuCore, RegistersAreWhatTheStubHolds) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    auto index = [&](const char* name) {
        for (std::size_t i = 0; i < board->arch.registers.size(); ++i)
            if (std::string(board->arch.registers[i].name) == name) return static_cast<int32_t>(i);
        ADD_FAILURE() << "no register " << name;
        return int32_t{-1};
    };
    // The stub's values: base + 0x0101 * gdb number.
    auto initial = [&](uint32_t base) {
        std::map<std::string, uint32_t> values;
        for (const sim::BoardRegister& reg : board->arch.registers) values[reg.name] = base + 0x0101 * reg.gdbNumber;
        return values;
    };
    struct Write {
        const char* name;
        uint32_t value;
        uint32_t kept;  // what the stub (QEMU) holds after it
    };
    const Write writes[] = {
        {"R0", 0xdeadbeef, 0xdeadbeef},
        {"SP", 0x20000403, 0x20000400},  // word-aligned
        {"PC", 0x00000105, 0x00000104},  // even; the core also sets xPSR's Thumb bit
        {"XPSR", 0x61000000, 0x61000119},  // the exception number stays
        {"LR", 0xfffffff9, 0xfffffff9},
    };
    for (const char* mode : {"described", "long", "gfails", "plain"}) {
        SCOPED_TRACE(mode);
        ::setenv("DIORX_FAKE_REGISTERS", mode, 1);
        sim::QemuCore::Options options;
        options.program = QEMU_TEST_DIR "/fake_stub.py";
        options.replyTimeout = 5000ms;
        sim::QemuCore core(*board, options);
        auto expectAll = [&](const std::map<std::string, uint32_t>& expected, const std::string& when) {
            for (const auto& [name, value] : expected)
                EXPECT_EQ(core.ReadRegister(index(name.c_str())), value) << name << " " << when;
        };
        std::map<std::string, uint32_t> expected = initial(0x10000000);
        expectAll(expected, "at the start");
        for (const Write& w : writes) {
            core.WriteRegister(index(w.name), w.value);
            expected[w.name] = w.kept;
            if (std::string(w.name) == "PC") expected["XPSR"] |= 0x01000000;
            expectAll(expected, std::string("after writing ") + w.name);
        }
        core.Reset();
        expectAll(initial(0x50000000), "after the reset");
    }
    // A write the stub refuses fails the core; no register is answered from
    // what was read before.
    ::setenv("DIORX_FAKE_REGISTERS", "rejectP", 1);
    sim::QemuCore::Options options;
    options.program = QEMU_TEST_DIR "/fake_stub.py";
    options.replyTimeout = 5000ms;
    sim::QemuCore core(*board, options);
    EXPECT_EQ(core.ReadRegister(index("R0")), 0x10000000u);
    EXPECT_THROW(core.WriteRegister(index("R0"), 1), sim::CoreFailure);
    EXPECT_THROW(core.ReadRegister(index("R0")), sim::CoreFailure);
    EXPECT_THROW(core.ReadRegister(index("R1")), sim::CoreFailure);
    ::unsetenv("DIORX_FAKE_REGISTERS");
}

// QEMU's step keeps interrupts out unless the core is told otherwise; then a
// pending one is taken at the first instruction of a step only, never after
// instructions the caller has looked at.
TEST(QemuCore, AStepLetsInterruptsInAtItsFirstInstructionWhenAsked) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    ::setenv("DIORX_FAKE_REGISTERS", "described", 1);
    ::setenv("DIORX_FAKE_SSTEP", "1", 1);
    sim::QemuCore::Options options;
    options.program = QEMU_TEST_DIR "/fake_stub.py";
    options.replyTimeout = 5000ms;
    sim::QemuCore core(*board, options);
    ::unsetenv("DIORX_FAKE_SSTEP");
    ::unsetenv("DIORX_FAKE_REGISTERS");
    const int32_t pc = core.PcIndex();
    core.WriteRegister(pc, 0x200);
    core.Step(3);
    EXPECT_EQ(core.ReadRegister(pc), 0x206u) << "masked, as QEMU steps for gdb";
    core.SetStepInterrupts(true);
    core.Step(3);
    EXPECT_EQ(core.ReadRegister(pc), 0x1004u) << "taken at the first instruction, the two after it masked";
    core.Step(1);
    EXPECT_EQ(core.ReadRegister(pc), 0x1000u);
    core.SetStepInterrupts(false);
    core.WriteRegister(pc, 0x200);
    core.Step(2);
    EXPECT_EQ(core.ReadRegister(pc), 0x204u);
}

// What the core takes a written register to hold is what each real QEMU
// machine holds after the write: the board table's record of the bits and
// fields QEMU keeps of a debugger's write is checked against every register
// of every QEMU board, with patterns that set, clear and alternate all bits.
// A write of the value QEMU holds (the module writes the PC back after every
// breakpoint stop) sends nothing; another value is written.
TEST(QemuCore, WritingTheValueQemuHoldsSendsNothing) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    sim::QemuCore core(*board);
    const int32_t pc = board->arch.RegisterIndex(sim::RegisterRole::Pc);
    // Fresh from QEMU's reset with no vector table, the core is not in
    // Thumb state: the first PC write sets it (a write that counts).
    core.WriteRegister(pc, core.ReadRegister(pc));
    core.ReadRegister(board->arch.RegisterIndex(sim::RegisterRole::Status));  // as QEMU now holds it
    const uint32_t r0 = core.ReadRegister(0), at = core.ReadRegister(pc);
    const uint64_t before = core.PacketsSent();
    core.WriteRegister(0, r0);
    core.WriteRegister(pc, at);
    EXPECT_EQ(core.PacketsSent(), before);
    core.WriteRegister(0, r0 ^ 0x10);
    core.WriteRegister(pc, at + 2);
    EXPECT_GT(core.PacketsSent(), before);
    EXPECT_EQ(core.ReadRegisterFromMachine(0), r0 ^ 0x10);
    EXPECT_EQ(core.ReadRegisterFromMachine(pc), at + 2);
}

// Breakpoints reach QEMU when the processor runs: set and cleared again
// while it is halted (as gdb does around every step) they cost no packet;
// the run then stops at those that remain, also at one set while it runs.
TEST(QemuCore, BreakpointsReachQemuWhenTheProcessorRuns) {
    const sim::Board* board = sim::FindBoard("qemu:mps2-an385");
    ASSERT_NE(board, nullptr);
    sim::QemuCore core(*board);
    // nop; nop; nop; nop; b . (Thumb) at 0x100
    const uint32_t code[] = {0x00, 0xbf, 0x00, 0xbf, 0x00, 0xbf, 0x00, 0xbf, 0xfe, 0xe7};
    ASSERT_TRUE(core.WriteBlock(0, code, 0x100, std::size(code)));
    const int32_t pc = core.PcIndex();
    core.WriteRegister(pc, 0x100);
    const auto haltedWithin5s = [&] {
        for (int i = 0; i < 500 && !core.IsHalted(); ++i) std::this_thread::sleep_for(10ms);
        return core.IsHalted();
    };
    const uint32_t space = *core.BreakpointSpaceId();
    const uint64_t before = core.PacketsSent();
    ASSERT_TRUE(core.AddBreakpoint(space, 0x103));
    core.RemoveBreakpoint(space, 0x103);
    ASSERT_TRUE(core.AddBreakpoint(space, 0x105));
    EXPECT_EQ(core.PacketsSent(), before) << "nothing sent while halted";
    core.Continue();
    ASSERT_TRUE(haltedWithin5s());
    EXPECT_EQ(core.ReadRegister(pc), 0x104u) << "stopped at the breakpoint that remained, not the one cleared";
    core.RemoveBreakpoint(space, 0x105);
    core.WriteRegister(pc, 0x100);
    core.Continue();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(core.IsRunning()) << "the breakpoint cleared is gone from QEMU";
    ASSERT_TRUE(core.AddBreakpoint(space, 0x109));
    ASSERT_TRUE(haltedWithin5s()) << "a breakpoint set while running stops the loop";
    EXPECT_EQ(core.ReadRegister(pc), 0x108u);
}

TEST(QemuCore, AWrittenRegisterReadsAsQemuHoldsIt) {
    int boards = 0;
    for (const sim::Board& board : sim::Boards()) {
        if (board.kind != sim::CoreKind::Qemu) continue;
        if (std::system(("command -v " + std::string(board.qemuProgram) + " >/dev/null 2>&1").c_str()) != 0) continue;
        SCOPED_TRACE(board.name);
        ++boards;
        sim::QemuCore core(board);
        for (uint32_t pattern : {0xffffffffu, 0x55555555u, 0xaaaaaaaau, 0x12345679u}) {
            for (int32_t i = 0; i < core.RegisterCount(); ++i) {
                core.WriteRegister(i, pattern);
                const uint32_t known = core.ReadRegister(i);
                EXPECT_EQ(known, core.ReadRegisterFromMachine(i))
                    << core.RegisterName(i) << " written 0x" << std::hex << pattern;
            }
        }
    }
    EXPECT_GT(boards, 0) << "no QEMU program found";
}
