// orxdbg on the 8-bit boards, as the README shows it: whole sessions through
// the built module on the sample programs, and s51 dying under the tool or
// the tool dying over s51.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

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

TEST(OrxdbgEightBit, Z80Session) {
    const auto run = RunProcess(Orxdbg("z80", {"load " DIORX_Z80_FIRMWARE_HEX, "reset", "break done", "continue",
                                               "x/8dh table", "x/4xb IO:0x10", "x/1uw counter", "step",
                                               "write reg AF' 0x1234", "info registers AF'", "write mem IO:0x20 0x55",
                                               "x/1xb IO:0x20", "disassemble square_plus 2"}),
                                60);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    ExpectAll(run.output, {
        {"the family from the front-end path", R"(as C:\\Tools\\qdvz80\.exe, processor Z80)"},
        {"both memory spaces in the map", R"(memory-space map: MEMORY as id 0, IO as id 1)"},
        {"the symbols of the linker map", R"(symbols from the linker map z80\.map)"},
        {"the reset vector", R"(=> 0x00000000:\s+di)"},
        {"the breakpoint is hit with the pc on it", R"(status: breakpoint \(cause 4\), breakpoint 1 at 0x[0-9a-f]+ <done>\n=> 0x[0-9a-f]+ <done>:)"},
        {"the table in memory", R"(<table>:\s+3\s+4\s+7\s+12\s+19\s+28\s+39\s+52)"},
        {"the table in the I/O ports", R"(IO:0x00000010:\s+0x03\s+0x04\s+0x07\s+0x0c)"},
        {"the loop counted to rounds", R"(<counter>:\s+3\n)"},
        {"a step over a prefixed instruction", R"(single step \(cause 1\)\n=> 0x[0-9a-f]+ <done\+0x4>:)"},
        {"a shadow register", R"(AF' 0x00001234)"},
        {"a port written", R"(IO:0x00000020:\s+0x55)"},
        {"Z80 code disassembled", R"(<square_plus>:\s+ld\s+)"},
    });
}

TEST(OrxdbgEightBit, Mcs51Session) {
    const auto run = RunProcess(Orxdbg("8051", {"load " DIORX_8051_FIRMWARE_HEX, "reset", "break done", "continue",
                                                "x/8xb idata_table", "x/8dh xdata_table", "x/4xb code_table",
                                                "x/1xb SFR:0xf0", "step", "write reg PSW 0x08", "write reg R3 0x5a",
                                                "x/1xb IDATA:0x0b", "write mem XDATA:0x100 1 2 3", "x/3xb XDATA:0x100",
                                                "info registers"}),
                                60);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    ExpectAll(run.output, {
        {"the family from the front-end path", R"(as C:\\Tools\\qdv51\.exe, processor MCS51)"},
        {"the four memory spaces in the map", R"(CODE as id 0, IDATA as id 1, SFR as id 2, XDATA as id 3)"},
        {"the reset vector", R"(=> 0x00000000:\s+ljmp\s+0x)"},
        {"the breakpoint is hit with the pc on it", R"(status: breakpoint \(cause 4\), breakpoint 1 at 0x[0-9a-f]+ <done>\n=> 0x[0-9a-f]+ <done>:)"},
        {"the table in the upper internal RAM", R"(IDATA:0x000000f0 <idata_table>:\s+0x03\s+0x04\s+0x07\s+0x0c\s+0x13\s+0x1c\s+0x27\s+0x34)"},
        {"the table in external RAM", R"(XDATA:0x[0-9a-f]+ <xdata_table>:\s+3\s+4\s+7\s+12\s+19\s+28\s+39\s+52)"},
        {"the table in code memory", R"(<code_table>:\s+0x00\s+0x01\s+0x02\s+0x03)"},
        {"the SFR at the table's address is B, not the table", R"(SFR:0x000000f0:\s+0x00)"},
        {"a step", R"(single step \(cause 1\)\n=> 0x[0-9a-f]+ <done\+0x2>:)"},
        {"R3 of bank 1 is internal RAM 0x0b", R"(IDATA:0x0000000b[^:]*:\s+0x5a)"},
        {"external RAM written", R"(XDATA:0x00000100:\s+0x01\s+0x02\s+0x03)"},
        {"the registers", R"(PSW\s+0x00000008)"},
    });
}

// Gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

std::string Contents(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The s51 child of a process, or -1.
pid_t S51Of(pid_t tool) {
    std::ifstream children("/proc/" + std::to_string(tool) + "/task/" + std::to_string(tool) + "/children");
    for (pid_t child; children >> child;) {
        std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "s51") return child;
    }
    return -1;
}

struct Started {
    pid_t tool = -1;
    pid_t s51 = -1;
    std::string outputPath;
};

// orxdbg running the sample program into a count it will not finish.
Started StartRunningTool() {
    Started s;
    char path[] = "/tmp/diorx-s51-test-XXXXXX";
    const int fd = mkstemp(path);
    s.outputPath = path;
    const auto argv = Orxdbg("8051", {"load " DIORX_8051_FIRMWARE_HEX, "reset", "break main", "continue", "delete",
                                      "write mem rounds 0xff 0xff 0xff 0x7f", "continue"});
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
    for (int i = 0; i < 200 && s.s51 < 0; ++i) {
        std::this_thread::sleep_for(50ms);
        const std::string output = Contents(s.outputPath);
        const std::size_t written = output.find("> write mem");
        if (written != std::string::npos && output.find("> continue", written) != std::string::npos)
            s.s51 = S51Of(s.tool);
    }
    return s;
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

TEST(OrxdbgEightBit, S51KilledDuringAContinueFailsTheRunWithItsStory) {
    Started s = StartRunningTool();
    ASSERT_GT(s.s51, 0) << Contents(s.outputPath);
    std::this_thread::sleep_for(300ms);  // the run is under way
    kill(s.s51, SIGKILL);
    const int status = WaitFor(s.tool, 30);
    const std::string output = Contents(s.outputPath);
    unlink(s.outputPath.c_str());
    EXPECT_EQ(status, 1) << output;
    ExpectAll(output, {
        {"what happened to s51", R"(error: s51: .*killed by signal 9)"},
        {"the continue fails", R"(DiExecContinue returned GdiFailed)"},
    });
    EXPECT_TRUE(Ended(s.s51));
}

TEST(OrxdbgEightBit, TheToolKilledTakesItsS51Along) {
    Started s = StartRunningTool();
    ASSERT_GT(s.s51, 0) << Contents(s.outputPath);
    kill(s.tool, SIGKILL);
    WaitFor(s.tool, 10);
    unlink(s.outputPath.c_str());
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = Ended(s.s51);
        if (!ended) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(ended) << "s51 " << s.s51 << " outlived the tool";
    if (!ended) kill(s.s51, SIGKILL);
}

TEST(OrxdbgEightBit, TheGdbServerRefusesBothBoards) {
    for (const char* board : {"z80", "8051"}) {
        const auto run = RunProcess({ORXDBG_PROGRAM, "gdbserver", "--target", board}, 20);
        EXPECT_EQ(run.exitStatus, 2) << run.output;
        ExpectAll(run.output, {{"one line saying why", R"(^orxdbg gdbserver: gdb does not know [^\n]+\n$)"}});
    }
}

}  // namespace
