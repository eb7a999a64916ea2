// orxdbg: a command-line debugger front-end for the diORX module.
//
// The program is the host executable as well: it starts the simulated host
// with a Cortex-M processor that runs real Thumb code, loads the module by
// path as a front-end does, and drives a debug session through the module's
// exported functions. The session runs on a front-end thread of its own
// while the main thread serves the host's main-thread hand-overs.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/Platform.h"
#include "sim/SimHost.h"
#include "sim/arm/ArmCortexMCore.h"
#include "tools/common/DiModule.h"
#include "tools/gdbserver/GdbServerMain.h"
#include "tools/orxdbg/Commands.h"
#include "tools/orxdbg/Demo.h"
#include "tools/orxdbg/Session.h"

namespace {

struct Options {
    std::string modulePath;
    std::string script;
    std::string elf = ORXDBG_DEFAULT_ELF;
    bool demo = false;
    orxdbg::SessionOptions session;
};

void PrintUsage(std::ostream& out, const Options& defaults) {
    out << "usage: orxdbg [options]\n"
           "\n"
           "A debugger front-end for the diORX debug-instrument module. It loads the module the way a\n"
           "debugger does, plays the host platform with a simulated Cortex-M processor that executes\n"
           "real Thumb code, and runs a debug session through the module's exported Di* functions:\n"
           "from a script file, from the built-in demo, or interactively.\n"
           "\n"
           "options:\n"
           "  --module PATH       the module to load (default: " << defaults.modulePath << ")\n"
           "  --script FILE       run the commands in FILE, one a line, then leave\n"
           "  --demo              run the built-in demo: load the sample firmware, break in compute_table,\n"
           "                      run to its end and show the table it computed\n"
           "  --elf FILE          the firmware the demo loads (default: " << defaults.elf << ")\n"
           "  --path PATH         front-end path that 'open' passes by default; it selects the processor\n"
           "                      family, \"qdvarm\" in it selects ARM (default: " << defaults.session.frontEndPath << ")\n"
           "  --designator NAME   the simulated processor's designator, and the one 'open' names by\n"
           "                      default (default: " << defaults.session.designator << ")\n"
           "  --help              this text\n"
           "\n"
           "Without --script or --demo the commands come from standard input, with a prompt on a terminal.\n"
           "\n";
    orxdbg::PrintHelp(out, orxdbg::Commands());
    out << "\n"
           "A session starts with 'open' and 'maps', then 'load' and 'reset'. Every Di* result other than\n"
           "0 is shown with its name: GdiNotSupported (4), GdiDownloadFailed (5), GdiFailed (7). A bad\n"
           "command or argument is reported in one line and the session goes on.\n"
           "\n"
           "Breakpoints are requested for Thumb code (kind 1, qualifier 2): on ARM the module places\n"
           "them at the address + 1, which is also the breakpoint's id. Ctrl-C during 'continue' or\n"
           "'step' cancels the wait with DiGdiCancel; the processor keeps running until 'stop'.\n"
           "\n"
           "The built-in demo script:\n\n"
        << orxdbg::DemoScript(defaults.elf)
        << "\n"
           "exit status: 0 when every command succeeded, 1 when some failed, 2 when the session could not\n"
           "start.\n";
}

// False with a message for a bad command line.
bool ParseOptions(int argc, char** argv, Options& options, bool& help, std::string& error) {
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
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--module") {
            if (!value(options.modulePath)) return false;
        } else if (arg == "--script") {
            if (!value(options.script)) return false;
        } else if (arg == "--elf") {
            if (!value(options.elf)) return false;
        } else if (arg == "--path") {
            if (!value(options.session.frontEndPath)) return false;
        } else if (arg == "--designator") {
            if (!value(options.session.designator)) return false;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (options.demo && !options.script.empty()) {
        error = "--demo and --script exclude each other";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "gdbserver")
        return gdbserver::Main(argc - 1, argv + 1,
                               {platform::ExecutableDirectory() + "/" + ORXDBG_MODULE_FILE, ORXDBG_DEFAULT_ELF});
    Options options;
    options.modulePath = platform::ExecutableDirectory() + "/" + ORXDBG_MODULE_FILE;
    const Options defaults = options;
    bool help = false;
    std::string error;
    if (!ParseOptions(argc, argv, options, help, error)) {
        std::cerr << "orxdbg: " << error << " (try --help)\n";
        return 2;
    }
    if (help) {
        PrintUsage(std::cout, defaults);
        return 0;
    }

    std::unique_ptr<std::istream> input;
    if (options.demo) {
        input = std::make_unique<std::istringstream>(orxdbg::DemoScript(options.elf));
    } else if (!options.script.empty()) {
        auto file = std::make_unique<std::ifstream>(options.script);
        if (!*file) {
            std::cerr << "orxdbg: cannot open the script " << options.script << "\n";
            return 2;
        }
        input = std::move(file);
    }
    const bool interactive = !input && isatty(STDIN_FILENO);
    options.session.terminal = isatty(STDOUT_FILENO);

    frontend::DiModule module;
    if (!module.LoadFile(options.modulePath, error)) {
        std::cerr << "orxdbg: " << error << "\n";
        return 2;
    }

    sim::Host& host = sim::Host::Instance();
    try {
        host.AddProcessor(options.session.designator, std::make_shared<sim::ArmCortexMCore>());
    } catch (const std::exception& e) {
        std::cerr << "orxdbg: cannot start the simulated Cortex-M: " << e.what() << "\n";
        return 2;
    }

    int failures = 0;
    host.RunFrontEnd([&] {
        orxdbg::Session session(module, std::cout, options.session);
        orxdbg::Interpreter interpreter(session);
        failures = interpreter.Run(input ? *input : std::cin, interactive, !interactive);
        if (session.IsOpen() && !session.Close()) ++failures;
    });
    // The processor goes before the program ends, on the main thread.
    host.Reset();
    return failures == 0 ? 0 : 1;
}
