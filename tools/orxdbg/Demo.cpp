#include "tools/orxdbg/Demo.h"

namespace orxdbg {

std::string DemoScript(const std::string& elfPath) {
    return "# Debug the sample firmware on the simulated Cortex-M, through the module's exports.\n"
           "# open also sends the register and memory maps; load sets the pc to the entry point.\n"
           "open \"C:\\Tools\\qdvarm.exe\" CORTEXM\n"
           "load \"" + elfPath + "\"\n"
           "# Run to the function that fills the table.\n"
           "break compute_table\n"
           "continue\n"
           "info registers\n"
           "disassemble compute_table\n"
           "# Let it finish: run to its return address in main.\n"
           "finish\n"
           "# The table it computed, read back with DiMemoryRead: table[i] = i*i*i + 3*i + 7.\n"
           "words table\n"
           "close\n";
}

}  // namespace orxdbg
