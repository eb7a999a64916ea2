// The test program's own child processes by name, from /proc: for fixtures
// that check that no simulator outlives a test.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace eightbit {

// Children of this process (zombies included) whose command name is name.
inline std::vector<pid_t> ChildrenNamed(const std::string& name) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ...
        const std::size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid() && line.substr(open + 1, close - open - 1) == name) found.push_back(std::stoi(pid));
    }
    ::closedir(proc);
    return found;
}

}  // namespace eightbit
