// The orxdbg program as a user runs it: options, exit status, and which
// stream says what. Each case runs the built program in a process of its own.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
    // Every line on standard error is an error line.
    for (std::size_t at = 0; at < o.err.size(); at = o.err.find('\n', at) + 1)
        EXPECT_EQ(o.err.compare(at, 7, "error: "), 0) << o.err;
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
        CommandLine{"Version", {"--version"}, 0, {"orxdbg 1."}, {}, ""},
        CommandLine{"BadOption", {"--frobnicate"}, 2, {}, {}, "error: unknown option '--frobnicate'"},
        CommandLine{"BadTimeout", {"--timeout", "0"}, 2, {}, {}, "error: --timeout needs a number of seconds"},
        CommandLine{"BadPollPeriod", {"--poll-ms", "501"}, 2, {}, {}, "error: --poll-ms needs a number from 1 to 500"}),
    [](const auto& info) { return std::string(info.param.name); });

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

}  // namespace
