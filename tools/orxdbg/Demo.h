// The built-in demonstration: a script that debugs the sample firmware.
#pragma once

#include <string>

namespace orxdbg {

// The demo script for the firmware ELF file at elfPath.
std::string DemoScript(const std::string& elfPath);

}  // namespace orxdbg
