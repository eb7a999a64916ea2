// `orxdbg gdbserver`: the command line, the simulated host and the server.
#pragma once

#include <string>

namespace gdbserver {

struct ProgramDefaults {
    std::string modulePath;  // the module beside the program
    std::string elf;         // the sample firmware, for the help text
};

// argv[0] is "gdbserver". The exit status: 0 after Ctrl-C or SIGTERM, 2 when
// the server could not start.
int Main(int argc, char** argv, const ProgramDefaults& defaults);

}  // namespace gdbserver
