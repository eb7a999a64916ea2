// Child processes for the GDB server's tests: the server itself (orxdbg
// gdbserver on a free port) and the programs that talk to it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace gdbtest {

struct ProcessResult {
    int exitStatus = -1;  // -1 when killed at the deadline or by a signal
    std::string output;   // standard output and standard error
};

// Runs argv to its end, or kills it after timeoutSeconds.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutSeconds);

// gdb (gdb-multiarch) in batch mode on elf, connected with "target TARGET"
// ("remote" or "extended-remote") to 127.0.0.1:port, then the rest of its
// arguments (-x SCRIPT, -ex COMMAND, ...); killed after timeoutSeconds.
ProcessResult RunGdb(const std::string& gdb, const std::string& elf, const std::string& target, int port,
                     const std::vector<std::string>& rest, int timeoutSeconds);

// A pattern a program's output must contain, and what it shows.
struct Expectation {
    const char* what;
    const char* pattern;  // a regular expression, searched for
};
// A test failure for each pattern the output does not contain.
void ExpectAll(const std::string& output, const std::vector<Expectation>& expectations);

// `orxdbg gdbserver --port 0 ...` started and waited for until it listens.
class ServerProcess {
public:
    // False (with the output so far in Output) when it did not start listening.
    bool Start(const std::vector<std::string>& extraArguments);
    // A QEMU machine (by default the Cortex-M3 board lm3s6965evb) halted
    // before the first instruction, with its gdb stub on a free port, running
    // the image, with any further QEMU options; false when it did not start
    // listening.
    bool StartQemu(const std::string& qemu, const std::string& elf, const std::string& machine = "lm3s6965evb",
                   const std::vector<std::string>& options = {});
    ~ServerProcess();

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // SIGTERM, then the exit status (-1 when it had not ended within
    // graceMs and had to be killed).
    int Terminate(int graceMs = 10000);
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int outputFd_ = -1;
    int port_ = 0;
    std::string output_;
};

}  // namespace gdbtest
