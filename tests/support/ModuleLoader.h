// Loads the built module the way a front-end does: by file, then each Di*
// function by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tools/common/DiModule.h"

namespace diorx_test {

// The module's functions bound by name, as the tools bind them.
using frontend::DiModule;
using frontend::PollFn;

// The 60 exported names, in the order of the export list (ordinal 62 minus
// the row number).
extern const std::vector<std::string> ExportNames;

// The module file beside the running program.
std::string ModulePath(const std::string& fileName);

// Export directory of a PE file (32- or 64-bit): its machine, its recorded
// name, (name, ordinal) pairs and imported libraries. False when the file is
// not a PE image.
struct PeExports {
    uint16_t machine = 0;  // 0x14C i386, 0x8664 x86-64
    std::string dllName;
    std::vector<std::pair<std::string, uint32_t>> entries;
    std::vector<std::string> importedLibraries;
};
bool ReadPeExports(const std::string& path, PeExports& exports, std::string& error);

}  // namespace diorx_test
