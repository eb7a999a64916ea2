#include "tools/gdbserver/GdbServerMain.h"

#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <memory>

#include "sim/SimHost.h"
#include "tools/common/DiModule.h"
#include "tools/gdbserver/GdbServer.h"
#include "tools/common/Target.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"
#include "tools/orxdbg/Target.h"

namespace gdbserver {

namespace {

struct Options {
    std::string modulePath;
    std::string elf;
    std::string bind = "127.0.0.1";
    uint16_t port = 3333;
    unsigned pollMs = 10;
    bool pollAdaptive = true;
    std::string frontEndPath = sim::DefaultBoard().arch.frontEndPath;  // selects the family (the board's)
    std::string designator = sim::DefaultBoard().arch.designator;
    std::string target;  // --target: a board name; empty for the default
    bool semihosting = false;
    std::string semihostingDirectory;  // --semihosting-dir
    bool semihostingWritable = false;
    bool rtos = true;  // --rtos auto
};

std::atomic<bool> g_shutdown{false};
static_assert(std::atomic<bool>::is_always_lock_free);
extern "C" void OnShutdownSignal(int) { g_shutdown = true; }

void PrintUsage(std::ostream& out, const ProgramDefaults& defaults) {
    out << "usage: orxdbg gdbserver [--target BOARD] [--port N] [--elf FILE] [--bind ADDR] [--poll-ms N] [--poll-fixed]\n"
           "                         [--semihosting [--semihosting-dir DIR [--semihosting-writable]]]\n"
           "                         [--rtos auto|none]\n"
           "\n"
           "A GDB server: gdb (gdb-multiarch) and IDEs that speak gdb's remote protocol debug the\n"
           "simulated Cortex-M (or a QEMU board) through the diORX module. The server starts the\n"
           "simulated host with the core reset and halted, then serves one gdb at a time until\n"
           "Ctrl-C or SIGTERM:\n"
           "\n"
           "    orxdbg gdbserver --elf demo.elf\n"
           "    gdb-multiarch demo.elf -ex 'target remote :3333'\n"
           "\n"
"options:\n"
           "  --target BOARD  cortexm (the in-process Cortex-M, default) or a QEMU machine gdb knows:\n"
           "                  qemu:lm3s6965evb, qemu:mps2-an385, qemu:virtex-ml507 (PowerPC), started\n"
           "                  halted and killed at the end\n"
           "  --port N        TCP port (default 3333; 0 takes any free port, shown in the listening line)\n"
           "  --bind ADDR     IPv4 address to listen on (default 127.0.0.1). Whoever reaches the port\n"
           "                  can read and write the target.\n"
           "  --elf FILE      download this image before the reset (e.g. " << defaults.elf << ")\n"
           "  --poll-ms N     how often, at most, 1 to 500 ms, the module looks whether a running core\n"
           "                  has stopped (default 10; 500 is the module's own period). It looks after\n"
           "                  tens of microseconds first, then ever less often up to N\n"
           "  --poll-fixed    look every N ms from the start, as the module does by itself\n"
           "  --semihosting   carry out the program's semihosting calls (ARM: bkpt 0xab): its output shows\n"
           "                  here and in gdb, its input is read here, its exit ends the run\n"
           "                  ('monitor arm semihosting enable|disable' switches it in a session)\n"
           "  --semihosting-dir DIR  the program's SYS_OPEN opens files under DIR (read-only; none\n"
           "                  without it); a name leading out of DIR (.., a symbolic link) is refused\n"
           "  --semihosting-writable  the program may also create and write files under DIR\n"
           "  --rtos auto|none  auto (default): FreeRTOS's tasks are gdb's threads once its scheduler\n"
           "                  runs (info threads, thread N, bt of a blocked task), its symbols asked of\n"
           "                  gdb; the Cortex-M3/M4 port without FPU. none: one thread, the core\n"
           "  --module PATH   the module to load (default: " << defaults.modulePath << ")\n"
           "  --help          this text\n"
           "\n"
           "gdb's load writes the flash through the memory map (vFlashWrite). 'target extended-remote'\n"
           "adds run/start (a restart: reset, the --elf image again) and attach 1 after a detach.\n"
           "'monitor help' lists the server's monitor commands: reset [halt|init|run], halt, resume,\n"
           "status, arm semihosting.\n";
}

bool ParseNumber(const std::string& text, unsigned low, unsigned high, unsigned& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

// False with a message for a bad command line.
bool ParseOptions(int argc, char** argv, Options& options, bool& help, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        const bool takesValue = arg == "--port" || arg == "--elf" || arg == "--bind" || arg == "--poll-ms" ||
                                arg == "--module" || arg == "--target" || arg == "--rtos" ||
                                arg == "--semihosting-dir";
        if (takesValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        unsigned number = 0;
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--rtos") {
            if (value != "auto" && value != "none") {
                error = "--rtos takes auto or none";
                return false;
            }
            options.rtos = value == "auto";
        } else if (arg == "--semihosting") {
            options.semihosting = true;
        } else if (arg == "--semihosting-dir") {
            std::error_code ignored;
            if (!std::filesystem::is_directory(value, ignored)) {
                error = "--semihosting-dir '" + value + "' is no directory";
                return false;
            }
            options.semihostingDirectory = value;
        } else if (arg == "--semihosting-writable") {
            options.semihostingWritable = true;
        } else if (arg == "--port") {
            if (!ParseNumber(value, 0, 65535, number)) {
                error = "--port takes a number from 0 to 65535";
                return false;
            }
            options.port = static_cast<uint16_t>(number);
        } else if (arg == "--poll-ms") {
            if (!ParseNumber(value, 1, 500, number)) {
                error = "--poll-ms takes a number from 1 to 500";
                return false;
            }
            options.pollMs = number;
        } else if (arg == "--poll-fixed") {
            options.pollAdaptive = false;
        } else if (arg == "--elf") {
            options.elf = value;
        } else if (arg == "--bind") {
            in_addr parsed{};
            if (inet_pton(AF_INET, value.c_str(), &parsed) != 1) {
                error = "--bind takes an IPv4 address such as 0.0.0.0";
                return false;
            }
            options.bind = value;
        } else if (arg == "--module") {
            options.modulePath = value;
        } else if (arg == "--target") {
            options.target = value;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    return true;
}

bool Download(Target& target, const std::string& file, std::string& error) {
    std::size_t bytes = 0;
    if (!target.DownloadImage(file, error, bytes)) return false;
    std::cout << "downloaded " << file << ": " << bytes << " bytes" << std::endl;
    return true;
}

}  // namespace

int Main(int argc, char** argv, const ProgramDefaults& defaults) {
    Options options;
    options.modulePath = defaults.modulePath;
    bool help = false;
    std::string error;
    if (!ParseOptions(argc, argv, options, help, error)) {
        std::cerr << "orxdbg gdbserver: " << error << " (try --help)\n";
        return 2;
    }
    if (help) {
        PrintUsage(std::cout, defaults);
        return 0;
    }
    if (options.bind != "127.0.0.1")
        std::cerr << "warning: --bind " << options.bind
                  << ": whoever reaches the port can read and write the target\n";

    // The module reads its poll period when an instance is opened.
    orxdbg::SetModulePollPeriod(options.pollMs, options.pollAdaptive);

    if (!orxdbg::SelectBoard(options.target, error)) {
        std::cerr << "orxdbg gdbserver: " << error << "\n";
        return 2;
    }
    const sim::Board& board = orxdbg::CurrentBoard();
    if (!*board.arch.gdbArchitecture) {
        std::cerr << "orxdbg gdbserver: gdb does not know " << board.arch.familyName << " (" << board.name
                  << "); debug it with orxdbg --target " << board.name << "\n";
        return 2;
    }
    if (options.semihosting && !board.arch.semihosting) {
        std::cerr << "orxdbg gdbserver: --semihosting: ARM boards only\n";
        return 2;
    }
    options.frontEndPath = board.arch.frontEndPath;
    options.designator = board.arch.designator;

    frontend::DiModule module;
    if (!orxdbg::LoadModule(module, options.modulePath, error) ||
        !orxdbg::StartSimulatedTarget(options.designator, board, error)) {
        std::cerr << "orxdbg gdbserver: " << error << "\n";
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = &OnShutdownSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int status = 0;
    sim::Host::Instance().RunFrontEnd([&] {
        Target target(module, board);
        ServerOptions serverOptions;
        serverOptions.image = options.elf;
        serverOptions.stepsTakeInterrupts = &orxdbg::SimulatedStepsTakeInterrupts;
        serverOptions.targetFailure = &orxdbg::TargetFailure;
        serverOptions.rtos = options.rtos;
        Server server(target, std::cout, serverOptions);
        server.EnableSemihosting(options.semihosting);
        server.SemihostingFiles(options.semihostingDirectory, options.semihostingWritable);
        auto fail = [&](const std::string& message) {
            std::cerr << "orxdbg gdbserver: " << message << "\n";
            target.Close();
            status = 2;
        };
        if (!target.Open(options.frontEndPath, options.designator, &RunController::PollCallback, error))
            return fail(error);
        if (!options.elf.empty() && !Download(target, options.elf, error)) return fail(error);
        if (!target.Reset()) return fail("the core could not be reset");
        if (!server.Listen(options.bind, options.port, error)) return fail(error);
        std::cout << "listening on " << options.bind << ":" << server.Port() << std::endl;
        server.Serve(g_shutdown);
        if (!server.TargetLost().empty()) {
            std::cerr << "orxdbg gdbserver: the target is lost, no client is served any more: "
                      << server.TargetLost() << "\n";
            status = 1;
        }
        std::cout << "shutting down" << std::endl;
        if (!target.Close()) status = 1;
    });
    orxdbg::StopSimulatedTarget();
    return status;
}

}  // namespace gdbserver
