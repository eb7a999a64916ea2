#include "tests/gdbserver/Processes.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace gdbtest {

namespace {

pid_t Spawn(const std::vector<std::string>& argv, int& outputFd) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    outputFd = pipeFds[0];
    return pid;
}

enum class Read { Data, Nothing, End };

// Appends what fd has within timeoutMs.
Read ReadSome(int fd, std::string& output, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return Read::Nothing;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return Read::End;
    output.append(buffer, static_cast<std::size_t>(n));
    return Read::Data;
}

int WaitStatus(pid_t pid, bool block) {
    int status = 0;
    if (waitpid(pid, &status, block ? 0 : WNOHANG) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutSeconds) {
    ProcessResult result;
    int fd = -1;
    const pid_t pid = Spawn(argv, fd);
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool killed = false;
    while (ReadSome(fd, result.output, 100) != Read::End) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
    }
    close(fd);
    const int status = WaitStatus(pid, true);
    result.exitStatus = killed ? -1 : status;
    return result;
}

bool ServerProcess::Start(const std::vector<std::string>& extraArguments) {
    std::vector<std::string> argv{ORXDBG_PROGRAM, "gdbserver", "--port", "0"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    pid_ = Spawn(argv, outputFd_);
    if (pid_ < 0) return false;
    const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadSome(outputFd_, output_, 100) == Read::End) return false;
        std::smatch match;
        if (std::regex_search(output_, match, listening)) {
            port_ = std::stoi(match[1]);
            return true;
        }
    }
    return false;
}

namespace {

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// Whether some socket listens on the port, without connecting to it (a gdb
// stub takes its first connection for the debugger's).
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.size() > 5 && local.substr(local.size() - 5) == suffix && state == "0A") return true;
    }
    return false;
}

}  // namespace

bool ServerProcess::StartQemu(const std::string& qemu, const std::string& elf, const std::string& machine,
                              const std::vector<std::string>& options) {
    port_ = FreePort();
    std::vector<std::string> argv{qemu, "-M", machine, "-S", "-nographic", "-monitor", "none", "-serial", "none", "-gdb",
                                  "tcp:127.0.0.1:" + std::to_string(port_), "-kernel", elf};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = Spawn(argv, outputFd_);
    if (pid_ < 0 || port_ == 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Listening(port_)) return true;
        if (ReadSome(outputFd_, output_, 50) == Read::End) return false;
    }
    return false;
}

int ServerProcess::Terminate(int graceMs) {
    if (pid_ < 0) return -1;
    kill(pid_, SIGTERM);
    int status = -2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (status == -2 && std::chrono::steady_clock::now() < deadline) {
        ReadSome(outputFd_, output_, 50);
        status = WaitStatus(pid_, false);
    }
    if (status == -2) {
        kill(pid_, SIGKILL);
        WaitStatus(pid_, true);
        status = -1;
    }
    while (ReadSome(outputFd_, output_, 0) == Read::Data) {
    }
    close(outputFd_);
    outputFd_ = -1;
    pid_ = -1;
    return status;
}

ServerProcess::~ServerProcess() { Terminate(); }

ProcessResult RunGdb(const std::string& gdb, const std::string& elf, const std::string& target, int port,
                     const std::vector<std::string>& rest, int timeoutSeconds) {
    std::vector<std::string> argv{gdb, "-batch", "-nx", "-q", elf, "-ex",
                                  "target " + target + " 127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), rest.begin(), rest.end());
    return RunProcess(argv, timeoutSeconds);
}

void ExpectAll(const std::string& output, const std::vector<Expectation>& expectations) {
    for (const Expectation& e : expectations)
        EXPECT_TRUE(std::regex_search(output, std::regex(e.pattern))) << e.what << ": /" << e.pattern << "/ in\n"
                                                                      << output;
}

}  // namespace gdbtest
