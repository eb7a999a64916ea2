// The orxdbg program as a user runs it: options, exit status, and which
// stream says what. Each case runs the built program in a process of its own.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

Outcome RunOrxdbg(const std::vector<std::string>& args) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string base = ::testing::TempDir() + "orxdbg_cli_" + name;
    std::string command = Quote(ORXDBG_PROGRAM);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " </dev/null >" + Quote(base + ".out") + " 2>" + Quote(base + ".err");
    Outcome outcome;
    const int raw = std::system(command.c_str());
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = ReadFile(base + ".out");
    outcome.err = ReadFile(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return outcome;
}

struct CommandLine {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> outHas;
    std::vector<std::string> outLacks;
    std::string errHas;
};

class CommandLines : public ::testing::TestWithParam<CommandLine> {};

TEST_P(CommandLines, ExitWithTheirStatusAndReportErrorsOnStandardError) {
    const CommandLine& c = GetParam();
    const Outcome o = RunOrxdbg(c.args);
    EXPECT_EQ(o.status, c.status) << o.out << o.err;
    for (const std::string& text : c.outHas) EXPECT_NE(o.out.find(text), std::string::npos) << text << "\n" << o.out;
    for (const std::string& text : c.outLacks) EXPECT_EQ(o.out.find(text), std::string::npos) << text << "\n" << o.out;
    if (c.errHas.empty())
        EXPECT_EQ(o.err, "");
    else
        EXPECT_NE(o.err.find(c.errHas), std::string::npos) << o.err;
    EXPECT_EQ(o.out.find("error"), std::string::npos) << "errors go to standard error only:\n" << o.out;
    // Every line on standard error is an error or a warning line.
    for (std::size_t at = 0; at < o.err.size(); at = o.err.find('\n', at) + 1)
        EXPECT_TRUE(o.err.compare(at, 7, "error: ") == 0 || o.err.compare(at, 9, "warning: ") == 0) << o.err;
}

const std::string kElf = DIORX_FIRMWARE_ELF;

INSTANTIATE_TEST_SUITE_P(
    Orxdbg, CommandLines,
    ::testing::Values(
        // -c runs in order and stops at the first error...
        CommandLine{"StopsAtTheFirstError",
                    {"-c", "help step", "-c", "frobnicate", "-c", "help finish"},
                    1,
                    {"execute N instructions"},
                    {"current function returns"},
                    "error: unknown command 'frobnicate'"},
        // ...unless told to keep going.
        CommandLine{"KeepGoing",
                    {"--keep-going", "-c", "help step", "-c", "frobnicate", "-c", "help finish"},
                    1,
                    {"execute N instructions", "current function returns"},
                    {},
                    "error: unknown command 'frobnicate'"},
        // A run that never stops is cancelled, halted and fails; the rest is not run.
        CommandLine{"TimeoutHaltsAndFails",
                    {"--timeout", "0.3", "-c", "open", "-c", "load " + kElf, "-c", "continue", "-c", "help finish"},
                    1,
                    {"timed out: the processor is halted", "status: halted (cause 128)", "closed"},
                    {"current function returns"},
                    "error: continue did not stop within 0.3 s (--timeout)"},
        CommandLine{"AddressesAre32Bit",
                    {"-c", "open", "-c", "mem 0x100000000 4"},
                    1,
                    {"closed"},
                    {},
                    "error: mem: address 0x100000000 does not fit in 32 bits"},
        // The README's one-line session.
        CommandLine{"OneLineSession",
                    {"-c", "open", "-c", "load " + kElf, "-c", "break compute_table", "-c", "continue", "-c", "finish",
                     "-c", "words table"},
                    0,
                    {"breakpoint 1 at", "[15] 0x2000003c  0x00000d63        3427"},
                    {},
                    ""},
        // Commands that need the target open the default session themselves.
        CommandLine{"OpensTheDefaultSession",
                    {"-c", "load " + kElf, "-c", "break main", "-c", "continue", "-c", "i r pc"},
                    0,
                    {"opened", "breakpoint 1 at", "<main>"},
                    {},
                    ""},
        // A step onto an instruction that faults (here a bkpt) did not
        // happen: it fails with the fault shown, and the script stops.
        CommandLine{"AStepThatFaultsFails",
                    {"-c", "load " + std::string(DIORX_FAULTS_ELF), "-c", "break main", "-c", "continue", "-c",
                     "step 5", "-c", "help finish"},
                    1,
                    {"fault: the processor cannot execute the instruction at 0x", "<main+0x", "bkpt"},
                    {"current function returns"},
                    "error: step: the processor faulted at 0x"},
        // The semihosting demo prints through the calls and exits...
        CommandLine{"SemihostingPrintsAndExits",
                    {"--semihosting", "-c", "load " DIORX_HELLO_ELF, "-c", "continue", "-c", "words squares_sum 1"},
                    0,
                    {"hello from the simulated Cortex-M3\nsum of the squares 1..10: 385 (0x181), via SYS_WRITE\n",
                     "the program exited with code 0 (SYS_EXIT_EXTENDED)", "0x00000181"},
                    {},
                    ""},
        // ...and without --semihosting stops on the first call.
        CommandLine{"WithoutSemihostingTheCallStops",
                    {"-c", "load " DIORX_HELLO_ELF, "-c", "continue"},
                    0,
                    {"bkpt\t#0xab"},
                    {"hello from"},
                    ""},
        // finish runs to the caller: where LR points back into the function
        // (after a call of its own), it cannot know where that is, and says so.
        // (At main+0x10 a call has just returned there; at main+0x14 LR
        // still points back to main+0x10.)
        CommandLine{"FinishRightAfterACallOfItsOwnRefuses",
                    {"--timeout", "5", "-c", "load " + kElf, "-c", "break main+0x10", "-c", "continue", "-c", "finish"},
                    1,
                    {"<main+0x10>"},
                    {"finish: running to"},
                    "error: finish cannot tell where <main> returns to: LR (0x000000ef) points at the PC itself"},
        CommandLine{"FinishAfterACallOfItsOwnRefuses",
                    {"--timeout", "5", "-c", "load " + kElf, "-c", "break main+0x14", "-c", "continue", "-c", "finish"},
                    1,
                    {"<main+0x14>"},
                    {"finish: running to"},
                    "error: finish cannot tell where <main> returns to: LR (0x000000ef) points into <main> itself"},
        CommandLine{"BreakWhereThereIsNoMemory",
                    {"-c", "load " + kElf, "-c", "break 0x90000000"},
                    1,
                    {},
                    {"breakpoint 1"},
                    "error: cannot set a breakpoint at 0x90000000: no memory there on cortexm (code can be at FLASH "
                    "0x00000000-0x0003ffff RAM 0x20000000-0x2000ffff)"},
        CommandLine{"ScriptThatIsADirectory", {"--script", "/"}, 2, {}, {}, "error: --script '/' is a directory"},
        CommandLine{"PathOfAnotherFamilyWarns",
                    {"--path", "C:\\Tools\\qdvppc.exe", "-c", "help step"},
                    0,
                    {"execute N instructions"},
                    {},
                    "warning: --path 'C:\\Tools\\qdvppc.exe' does not name the ARM family ('qdvarm') of --target "
                    "cortexm: it selects the PowerPC family"},
        CommandLine{"PathOfNoFamilyWarns",
                    {"--path", "C:\\Tools\\debugger.exe", "-c", "help step"},
                    0,
                    {"execute N instructions"},
                    {},
                    "warning: --path 'C:\\Tools\\debugger.exe' does not name the ARM family"},
        // Only the ARM boards' programs make semihosting calls: refused
        // before any target starts.
        CommandLine{"SemihostingOnAnotherFamilyIsRefused",
                    {"--target", "qemu:virtex-ml507", "--semihosting", "-c", "help step"},
                    2,
                    {},
                    {"execute N instructions"},
                    "error: --semihosting: ARM boards only"},
        CommandLine{"Version", {"--version"}, 0, {"orxdbg 1."}, {}, ""},
        CommandLine{"BadOption", {"--frobnicate"}, 2, {}, {}, "error: unknown option '--frobnicate'"},
        CommandLine{"BadTimeout", {"--timeout", "0"}, 2, {}, {}, "error: --timeout needs a number of seconds"},
        CommandLine{"BadPollPeriod", {"--poll-ms", "501"}, 2, {}, {}, "error: --poll-ms needs a number from 1 to 500"}),
    [](const auto& info) { return std::string(info.param.name); });

// --help with --target describes that board's commands: its ELF files,
// instructions, status register, reset and breakpoint requests, and nothing
// of the ARM boards' elsewhere. The default board's texts show what the
// others must not say.
TEST(Orxdbg, HelpDescribesTheTargetsProcessor) {
    const std::vector<std::string> armOnly = {"Thumb", "ARM ELF", "XPSR", "vector table", "qualifier 2"};
    const struct {
        const char* target;
        std::vector<std::string> has;
        std::vector<std::string> lacks;
    } cases[] = {
        {"cortexm", {"little-endian ARM ELF", "on the Thumb instruction", "XPSR flags", "vector table", "qualifier 2"}, {}},
        {"qemu:virtex-ml507", {"big-endian PowerPC ELF", "on the PowerPC instruction", "at the loaded image's entry point",
                               "R0..R31, PC, MSR, CR, LR, CTR, XER", "qualifier 0"}, armOnly},
        {"qemu:petalogix-s3adsp1800", {"big-endian MicroBlaze ELF", "on the MicroBlaze instruction"}, armOnly},
        {"qemu:10m50-ghrd", {"little-endian Nios II ELF", "on the Nios II instruction"}, armOnly},
        {"z80", {"show N Z80 instructions", "from its reset address"}, armOnly},
        {"8051", {"show N 8051 instructions", "R0..R7", "from its reset address"}, armOnly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const Outcome o = RunOrxdbg({"--target", c.target, "--help"});
        EXPECT_EQ(o.status, 0) << o.err;
        // Joined lines: a phrase may wrap.
        std::string text;
        for (char ch : o.out)
            if (ch != '\n' || (!text.empty() && text.back() != ' ')) text += ch == '\n' ? ' ' : ch;
        for (std::size_t at; (at = text.find("  ")) != std::string::npos;) text.erase(at, 1);
        for (const std::string& want : c.has) EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << o.out;
        for (const std::string& not_ : c.lacks) EXPECT_EQ(text.find(not_), std::string::npos) << not_ << "\n" << o.out;
    }
}

#ifdef DIORX_NEWLIB_ELF
// A program on newlib's semihosting library: the C library reads the
// features file, then writes stderr to a handle of its own and passes
// exit(3)'s code, which becomes orxdbg's exit status.
TEST(Orxdbg, ANewlibProgramsExitCodeBecomesTheStatus) {
    const Outcome o = RunOrxdbg({"--semihosting", "-c", "load " DIORX_NEWLIB_ELF, "-c", "continue"});
    EXPECT_EQ(o.status, 3) << o.out << o.err;
    EXPECT_NE(o.out.find("newlib says 42\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("the program exited with code 3 (SYS_EXIT_EXTENDED)"), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "and exits with 3\n");
}

// The program's own files, under the directory --semihosting-dir names:
// read, written where allowed, and nothing out of the directory.
TEST(Orxdbg, ANewlibProgramUsesTheFilesOfItsDirectory) {
    const std::filesystem::path top = ::testing::TempDir() + "orxdbg_semihosting_files";
    const std::filesystem::path dir = top / "files";
    const struct {
        bool writable;
        const char* output;  // what the program says of output.txt
    } cases[] = {{false, "output.txt: cannot be written"}, {true, "output.txt: written"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.writable ? "writable" : "read-only");
        std::filesystem::remove_all(top);
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "input.txt") << "first line\nsecond\n";
        std::ofstream(top / "outside.txt") << "not the program's";
        std::vector<std::string> args{"--semihosting", "--semihosting-dir", dir.string()};
        if (c.writable) args.push_back("--semihosting-writable");
        for (const char* a : {"-c", "load " DIORX_NEWLIB_FILES_ELF, "-c", "continue"}) args.push_back(a);
        const Outcome o = RunOrxdbg(args);
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        for (const char* line : {"input.txt: first line\n", "input.txt has 18 bytes\n", "../outside.txt: refused\n"})
            EXPECT_NE(o.out.find(line), std::string::npos) << line << o.out;
        EXPECT_NE(o.out.find(c.output), std::string::npos) << o.out;
        std::ifstream written(dir / "output.txt");
        EXPECT_EQ(written.good(), c.writable);
        if (c.writable) {
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "written by the program\n");
        }
    }
    std::filesystem::remove_all(top);
}
#endif

// A script stops at its first failing line, with the lines before it run.
TEST(Orxdbg, ScriptStopsAtTheFirstError) {
    const std::string script = ::testing::TempDir() + "orxdbg_script.txt";
    std::ofstream(script) << "# a comment\nhelp step\nstep 0\nhelp finish\n";
    const Outcome stopped = RunOrxdbg({"--script", script});
    const Outcome kept = RunOrxdbg({"--script", script, "--keep-going"});
    std::remove(script.c_str());
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.out.find("execute N instructions"), std::string::npos) << stopped.out;
    EXPECT_EQ(stopped.out.find("current function returns"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.err.find("error: step: N must be from 1 to 65536, not 0"), std::string::npos) << stopped.err;
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.out.find("current function returns"), std::string::npos) << kept.out;
}


// ---- The interactive prompt, on a pseudo-terminal ------------------------------

namespace prompt {

class Terminal {
public:
    explicit Terminal(const std::string& historyFile) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            setenv("ORXDBG_HISTORY", historyFile.c_str(), 1);
            setenv("TERM", "xterm", 1);
            execl(ORXDBG_PROGRAM, "orxdbg", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool Started() const { return pid_ > 0; }
    // Keys typed while the line editor has not yet put the terminal into
    // raw mode are discarded when it does: wait (at most 10 s) until the
    // terminal reads keys one at a time, as at the editor's prompt.
    void Type(const std::string& keys) {
        for (int waited = 0; waited < 10000; waited += 5) {
            termios mode{};
            if (tcgetattr(master_, &mode) != 0 || !(mode.c_lflag & ICANON)) break;
            usleep(5000);
        }
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Reads until the output holds text count times, or 10 s pass.
    bool WaitFor(const std::string& text, std::size_t count = 1) {
        for (int waited = 0; waited < 10000; waited += 20) {
            if (Count(text) >= count) return true;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char buffer[4096];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n <= 0) return Count(text) >= count;
                output_.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return false;
    }
    std::size_t Count(const std::string& text) const {
        std::size_t n = 0;
        for (std::size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
        return n;
    }
    int Wait() {
        WaitFor("\x01never");  // drain what is left
        int status = 0;
        waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& Output() const { return output_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string output_;
};

}  // namespace prompt

// Arrow keys recall history (kept in a file for the next session), Tab
// completes, and Ctrl-C drops the line being typed without leaving.
TEST(Orxdbg, PromptEditsRecallsCompletesAndDropsALineOnCtrlC) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer holds back a signal that arrives during a blocking
    // read until the read returns, so the Ctrl-C may never reach the editor
    // on a loaded machine; the native and AddressSanitizer builds run this.
    GTEST_SKIP() << "signals are deferred under ThreadSanitizer";
#endif
    const std::string history = ::testing::TempDir() + "orxdbg_prompt_history";
    std::remove(history.c_str());
    const std::string finishHelp = "current function returns";
    {
        prompt::Terminal terminal(history);
        ASSERT_TRUE(terminal.Started());
        ASSERT_TRUE(terminal.WaitFor("(orxdbg) ")) << terminal.Output();
        terminal.Type("help finish");
        terminal.Type("\x03");
        ASSERT_TRUE(terminal.WaitFor("(orxdbg) ", 2)) << terminal.Output();
        EXPECT_EQ(terminal.Count(finishHelp), 0u) << "the interrupted line does not run\n" << terminal.Output();

        terminal.Type("help fin\t\r");  // completed to "help finish"
        ASSERT_TRUE(terminal.WaitFor(finishHelp)) << terminal.Output();
        terminal.Type("\x1b[A\r");  // the line again, from the history
        ASSERT_TRUE(terminal.WaitFor(finishHelp, 2)) << terminal.Output();
        EXPECT_EQ(terminal.Output().find("unknown command"), std::string::npos) << terminal.Output();
        terminal.Type("quit\r");
        EXPECT_EQ(terminal.Wait(), 0) << terminal.Output();
    }
    {
        prompt::Terminal terminal(history);
        ASSERT_TRUE(terminal.WaitFor("(orxdbg) ")) << terminal.Output();
        terminal.Type("\x1b[A\x1b[A\r");  // before "quit": the last session's help line
        ASSERT_TRUE(terminal.WaitFor(finishHelp)) << terminal.Output();
        terminal.Type("q\r");
        EXPECT_EQ(terminal.Wait(), 0) << terminal.Output();
    }
    std::remove(history.c_str());
}

}  // namespace
