// The end of an engine the simulated host runs as a child process (QEMU,
// s51): killing and reaping it, telling how it ended, removing its private
// folder. One copy for every such core.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

namespace sim {

// Kills the process and reaps it; pid becomes -1. Nothing when pid is not
// a process.
inline void KillAndReap(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

// A process that dies closes its connection a moment before it can be
// reaped: waits up to `within` for it to end and, once reaped (pid -1),
// tells how: "; NAME exited with status N" or "; NAME was killed by signal
// N". Empty while it still runs.
inline std::string ReapEnded(pid_t& pid, const std::string& name, std::chrono::milliseconds within) {
    if (pid <= 0) return {};
    const auto step = std::chrono::milliseconds(2);
    int status = 0;
    pid_t ended = 0;
    for (auto waited = std::chrono::milliseconds(0); ended == 0; waited += step) {
        ended = ::waitpid(pid, &status, WNOHANG);
        if (ended != 0 || waited >= within) break;
        std::this_thread::sleep_for(step);
    }
    if (ended != pid) return {};
    pid = -1;
    return WIFEXITED(status) ? "; " + name + " exited with status " + std::to_string(WEXITSTATUS(status))
                             : "; " + name + " was killed by signal " + std::to_string(WTERMSIG(status));
}

// Removes a private folder with what is in it, and forgets its path.
inline void RemoveFolder(std::string& directory) {
    if (directory.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    directory.clear();
}

}  // namespace sim
