// orxdbg: a command-line debugger front-end for the diORX module.
//
// The program is the host executable as well: it starts the simulated host
// with a Cortex-M processor that runs real Thumb code, loads the module by
// path as a front-end does, and drives a debug session through the module's
// exported functions. The session runs on a front-end thread of its own
// while the main thread serves the host's main-thread hand-overs.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimHost.h"
#include "tools/common/DiModule.h"
#include "tools/gdbserver/GdbServerMain.h"
#include "tools/orxdbg/Commands.h"
#include "tools/orxdbg/Demo.h"
#include "tools/orxdbg/LineEditor.h"
#include "tools/orxdbg/Session.h"
#include "tools/orxdbg/Target.h"

namespace {

// What runs before the prompt, in command-line order.
struct Source {
    enum Kind { Command, Script, Demo } kind;
    std::string text;  // the command, or the script's file name
};

struct Options {
    std::string modulePath;
    std::vector<Source> sources;
    std::string elf = ORXDBG_DEFAULT_ELF;
    bool keepGoing = false;
    std::string target;       // --target: a board name; empty for the default
    bool pathGiven = false;   // --path overrides the board's front-end path
    bool designatorGiven = false;  // --designator overrides the board's
    orxdbg::SessionOptions session;
};

constexpr int kExitFailed = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitInterrupted = 130;
constexpr int kExitTerminated = 128 + SIGTERM;

void PrintUsage(std::ostream& out, const Options& defaults) {
    const sim::Architecture& arch = orxdbg::CurrentBoard().arch;
    out << "usage: orxdbg [options]\n"
           "       orxdbg gdbserver [--target BOARD] [--port N] [--elf FILE] [--bind ADDR] [--poll-ms N]\n"
           "                        [--poll-fixed] [--semihosting]\n"
           "\n"
           "A debugger front-end for the diORX debug-instrument module. It loads the module the way a\n"
           "debugger does, plays the host platform with a simulated processor (--target; by default the\n"
           "in-process Cortex-M), and runs a debug session through the module's exported Di* functions:\n"
           "from commands on the command line, a script file, the built-in demo, or interactively. The\n"
           "commands are described for the board " << orxdbg::CurrentBoard().name << " (" << arch.name << ").\n"
           "\n"
           "options:\n"
           "  -c CMD              run CMD; may be given many times, the commands run in order\n"
           "  --script FILE       run the commands in FILE, one a line\n"
           "  --demo              run the built-in demo: load the sample firmware, break in compute_table,\n"
           "                      run to its end and show the table it computed\n"
           "  --keep-going        go on after a command fails (by default -c, --script and --demo stop\n"
           "                      at the first error)\n"
           "  --timeout SECONDS   cancel a continue, finish or step that has not stopped after SECONDS,\n"
           "                      halt the processor and fail (default: no limit)\n"
           "  --semihosting       carry out the program's semihosting calls (bkpt 0xab) during continue,\n"
           "                      finish and step: its output on standard output, its input from\n"
           "                      standard input; its exit (SYS_EXIT) ends the run, and a nonzero\n"
           "                      exit code of the program becomes orxdbg's exit status\n"
           "  --semihosting-dir DIR  the program's SYS_OPEN opens files under DIR (read-only; none\n"
           "                      without it); a name leading out of DIR (.., a symbolic link) is refused\n"
           "  --semihosting-writable  the program may also create and write files under DIR\n"
           "  --poll-ms N         how often, at most, the module looks at a running processor, 1..500 ms\n"
           "                      (default " << defaults.session.pollMs << "; 500 is the module's own cadence). It looks\n"
           "                      after tens of microseconds first, then ever less often up to N\n"
           "  --poll-fixed        look every N ms from the start, as the module does by itself\n"
           "  --elf FILE          the firmware the demo loads (default: " << defaults.elf << ")\n"
           "  --module PATH       the module to load (default: " << defaults.modulePath << ")\n"
           "  --target BOARD      the processor behind the simulated host (default cortexm, the in-process\n"
           "                      Cortex-M); qemu:MACHINE starts that QEMU machine halted. Known:\n";
    for (const sim::Board& board : sim::Boards())
        out << "                        " << board.name << " (" << board.arch.familyName << "): " << board.modelled << "\n";
    out << "  --path PATH         front-end path that 'open' passes by default; it selects the processor\n"
           "                      family (default: the board's, " << defaults.session.frontEndPath << " for cortexm)\n"
           "  --designator NAME   the simulated processor's designator, and the one 'open' names by\n"
           "                      default (default: the board's, " << defaults.session.designator << " for cortexm, Z80 and\n"
           "                      MCS51 on the 8-bit boards)\n"
           "  --version           the program's version\n"
           "  --help              this text\n"
           "\n"
           "'orxdbg gdbserver' serves gdb's remote protocol over the same module and simulated\n"
           "processor instead (port 3333 on 127.0.0.1 by default; 'orxdbg gdbserver --help').\n"
           "\n"
           "With -c, --script or --demo the program leaves when they are done. Otherwise the commands\n"
           "come from standard input: on a terminal with line editing, history (kept in\n"
           "~/.orxdbg_history, or the file $ORXDBG_HISTORY names) and Tab completion of commands,\n"
           "symbols, registers and file names.\n"
           "\n";
    orxdbg::PrintHelp(out, orxdbg::Commands());
    out << "\n"
           "A session starts with 'open' (which sends the maps), then 'load' (which sets the pc to the\n"
           "entry point). Every Di* result other than 0 is shown with its name: GdiNotSupported (4),\n"
           "GdiDownloadFailed (5), GdiFailed (7). Errors go to standard error as 'error: ...'.\n"
           "\n"
           "Breakpoints are numbered 1, 2, 3... ('info break', 'delete N'). They are requested for\n"
           << arch.instructionSetName << " code (kind 1, qualifier " << arch.breakpointQualifier
        << "). After every stop the instruction at the pc is shown. Ctrl-C\n"
           "during a run halts the processor and shows where it stopped; at the prompt it abandons\n"
           "the line.\n"
           "\n"
           "The built-in demo script:\n\n"
        << orxdbg::DemoScript(defaults.elf)
        << "\n"
           "exit status: 0 when every command succeeded, 1 when one failed, 2 when the session could not\n"
           "start, 130 when Ctrl-C ended a script, 143 when SIGTERM (or SIGHUP) ended the program.\n";
}

// False with a message for a bad command line.
bool ParseOptions(int argc, char** argv, Options& options, bool& help, bool& version, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            target = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--demo") {
            options.sources.push_back({Source::Demo, {}});
        } else if (arg == "-c") {
            if (!value(text)) return false;
            options.sources.push_back({Source::Command, text});
        } else if (arg == "--script") {
            if (!value(text)) return false;
            // A directory opens as a stream that reads nothing: refused here,
            // before anything starts.
            std::error_code ignored;
            if (std::filesystem::is_directory(text, ignored)) {
                error = "--script '" + text + "' is a directory, not a file of commands";
                return false;
            }
            options.sources.push_back({Source::Script, text});
        } else if (arg == "--semihosting") {
            options.session.semihosting = true;
        } else if (arg == "--semihosting-dir") {
            if (!value(text)) return false;
            std::error_code ignored;
            if (!std::filesystem::is_directory(text, ignored)) {
                error = "--semihosting-dir '" + text + "' is no directory";
                return false;
            }
            options.session.semihostingDirectory = text;
        } else if (arg == "--semihosting-writable") {
            options.session.semihostingWritable = true;
        } else if (arg == "--keep-going") {
            options.keepGoing = true;
        } else if (arg == "--timeout") {
            if (!value(text)) return false;
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !(seconds > 0) || seconds > 1e6) {
                error = "--timeout needs a number of seconds above 0, not '" + text + "'";
                return false;
            }
            options.session.timeoutSeconds = seconds;
        } else if (arg == "--poll-ms") {
            if (!value(text)) return false;
            char* end = nullptr;
            const long ms = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end || ms < 1 || ms > 500) {
                error = "--poll-ms needs a number from 1 to 500, not '" + text + "'";
                return false;
            }
            options.session.pollMs = static_cast<uint32_t>(ms);
        } else if (arg == "--poll-fixed") {
            options.session.pollAdaptive = false;
        } else if (arg == "--module") {
            if (!value(options.modulePath)) return false;
        } else if (arg == "--elf") {
            if (!value(options.elf)) return false;
        } else if (arg == "--path") {
            if (!value(options.session.frontEndPath)) return false;
            options.pathGiven = true;
        } else if (arg == "--target") {
            if (!value(options.target)) return false;
        } else if (arg == "--designator") {
            if (!value(options.session.designator)) return false;
            options.designatorGiven = true;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    return true;
}

// The module takes the processor family from the front-end path's name
// (qdvarm, qdvppc, ...): a --path that names another family than the
// board's, or none, makes it drive the board as something it is not. The
// warning, or empty.
std::string PathFamilyWarning(const std::string& path, const sim::Board& board) {
    auto tag = [](const char* frontEndPath) {
        std::string name = std::filesystem::path(std::string(frontEndPath)).stem().string();
        const std::size_t slash = name.find_last_of("\\");
        if (slash != std::string::npos) name = name.substr(slash + 1);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        return name;
    };
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string own = tag(board.arch.frontEndPath);
    if (lower.find(own) != std::string::npos) return {};
    std::string warning = "warning: --path '" + path + "' does not name the " + board.arch.familyName + " family ('" +
                          own + "') of --target " + board.name;
    for (const sim::Board& other : sim::Boards()) {
        if (&other.arch != &board.arch && lower.find(tag(other.arch.frontEndPath)) != std::string::npos) {
            warning += std::string(": it selects the ") + other.arch.familyName + " family";
            return warning;
        }
    }
    return warning + ": the module will take the processor for another family";
}

extern "C" void OnPromptInterrupt(int) {
    orxdbg::Session::Interrupt();
    orxdbg::LineEditor::Interrupt();
}

// SIGTERM (what `timeout` and service managers send) and SIGHUP (the
// terminal gone) end the program as Ctrl-C ends a script: the run under way
// is cancelled and the processor halted, and the target (QEMU and its
// folder) is taken down on the way out.
extern "C" void OnTerminateSignal(int) {
    orxdbg::Session::Terminate();
    orxdbg::LineEditor::Interrupt();
}

// Runs the command-line sources in order; the exit status.
int RunSources(const Options& options, orxdbg::Interpreter& interpreter) {
    int failures = 0;
    for (const Source& source : options.sources) {
        std::unique_ptr<std::istream> input;
        if (source.kind == Source::Demo) {
            input = std::make_unique<std::istringstream>(orxdbg::DemoScript(options.elf));
        } else if (source.kind == Source::Command) {
            input = std::make_unique<std::istringstream>(source.text);
        } else {
            auto file = std::make_unique<std::ifstream>(source.text);
            if (!*file) {
                std::cerr << "error: cannot open the script " << source.text << std::endl;
                return kExitCannotStart;
            }
            input = std::move(file);
        }
        failures += interpreter.Run(*input, false, true, !options.keepGoing);
        if (orxdbg::Session::Terminating()) {
            std::cerr << "error: terminated by a signal: the rest is not run" << std::endl;
            return kExitTerminated;
        }
        if (interpreter.Interrupted()) {
            std::cerr << "error: interrupted: the rest is not run" << std::endl;
            return kExitInterrupted;
        }
        if (interpreter.QuitRequested() || (failures && !options.keepGoing)) break;
    }
    return failures ? kExitFailed : 0;
}

// The interactive prompt; the exit status.
int RunPrompt(orxdbg::Session& session, orxdbg::Interpreter& interpreter) {
    // Ctrl-C at the prompt ends the read (no restart), and the line is dropped.
    struct sigaction action {};
    action.sa_handler = &OnPromptInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    orxdbg::LineEditor editor("orxdbg", "(orxdbg) ", orxdbg::DefaultHistoryFile(), [&](std::string_view before) {
        return orxdbg::Complete(before, orxdbg::Commands(), session.Symbols());
    });
    int failures = 0;
    std::string line;
    while (!interpreter.QuitRequested() && !orxdbg::Session::Terminating()) {
        const auto result = editor.Read(line);
        if (result == orxdbg::LineEditor::Result::End) {
            std::cout << std::endl;
            break;
        }
        if (result == orxdbg::LineEditor::Result::Interrupted) continue;
        if (!interpreter.RunLine(line)) ++failures;
        session.TakeInterrupted();
    }
    return failures ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "gdbserver")
        return gdbserver::Main(argc - 1, argv + 1,
                               {orxdbg::DefaultModulePath(), ORXDBG_DEFAULT_ELF});
    Options options;
    options.modulePath = orxdbg::DefaultModulePath();
    const Options defaults = options;
    bool help = false, version = false;
    std::string error;
    if (!ParseOptions(argc, argv, options, help, version, error)) {
        std::cerr << "error: " << error << " (try --help)\n";
        return kExitCannotStart;
    }
    if (help) {
        // With --target, the commands as that board has them.
        if (!options.target.empty() && !orxdbg::SelectBoard(options.target, error)) {
            std::cerr << "error: " << error << "\n";
            return kExitCannotStart;
        }
        PrintUsage(std::cout, defaults);
        return 0;
    }
    if (version) {
        std::cout << "orxdbg " ORXDBG_VERSION " (diORX front-end; simulated Cortex-M host)\n";
        return 0;
    }

    // SIGINT goes to the front-end thread only: it unblocks it for itself.
    // Every other thread, the host's and the core's, inherits the block.
    // So do SIGTERM and SIGHUP, whose handler stays for the program's life;
    // one that arrives while the target starts waits for the front-end.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigaddset(&interrupt, SIGTERM);
    sigaddset(&interrupt, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
    struct sigaction terminate {};
    terminate.sa_handler = &OnTerminateSignal;
    sigemptyset(&terminate.sa_mask);
    sigaction(SIGTERM, &terminate, nullptr);
    sigaction(SIGHUP, &terminate, nullptr);

    if (!orxdbg::SelectBoard(options.target, error)) {
        std::cerr << "error: " << error << "\n";
        return kExitCannotStart;
    }
    if (options.session.semihosting && !orxdbg::CurrentBoard().arch.semihosting) {
        std::cerr << "error: --semihosting: ARM boards only\n";
        return kExitCannotStart;
    }
    if (!options.designatorGiven) options.session.designator = orxdbg::CurrentBoard().arch.designator;
    if (!options.pathGiven)
        options.session.frontEndPath = orxdbg::CurrentBoard().arch.frontEndPath;
    else if (const std::string warning = PathFamilyWarning(options.session.frontEndPath, orxdbg::CurrentBoard());
             !warning.empty())
        std::cerr << warning << "\n";
    options.session.hostDiagnostics = orxdbg::TargetFailure;

    frontend::DiModule module;
    if (!orxdbg::LoadModule(module, options.modulePath, error) ||
        !orxdbg::StartSimulatedTarget(options.session.designator, orxdbg::CurrentBoard(), error)) {
        std::cerr << "error: " << error << "\n";
        return kExitCannotStart;
    }

    const bool batch = !options.sources.empty();
    const bool interactive = !batch && isatty(STDIN_FILENO);
    options.session.terminal = isatty(STDOUT_FILENO);
    int status = 0;
    sim::Host::Instance().RunFrontEnd([&] {
        pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
        orxdbg::Session session(module, std::cout, std::cerr, options.session);
        orxdbg::Interpreter interpreter(session);
        if (batch)
            status = RunSources(options, interpreter);
        else if (interactive)
            status = RunPrompt(session, interpreter);
        else  // commands piped in: a script
            status = interpreter.Run(std::cin, false, true, !options.keepGoing) ? kExitFailed : 0;
        if (session.IsOpen() && !session.Close() && status == 0) status = kExitFailed;
        if (orxdbg::Session::Terminating()) status = kExitTerminated;
        // As a simulator would: the program's own exit code, when the
        // session went well and the program ended with one.
        if (status == 0 && session.ProgramExitCode()) status = *session.ProgramExitCode() & 0xFF;
    });
    // The processor goes before the program ends, on the main thread.
    orxdbg::StopSimulatedTarget();
    return status;
}
