// Loads the built module the way a front-end does: by file, then each Di*
// function by name. Signatures use raw 32-bit argument slots for records
// passed by value, as they sit on the stack of a C call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace diorx_test {

using SlotFn0 = uint32_t(DI_CDECL*)();
using PollFn = void(DI_CDECL*)();

struct DiModule {
    platform::ModuleHandle handle = nullptr;

    uint32_t(DI_CDECL* DiGdiOpen)(uint32_t, uint32_t, int32_t, const char* const*, PollFn) = nullptr;
    uint32_t(DI_CDECL* DiGdiClose)(uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiGdiGetFeatures)(void*) = nullptr;
    uint32_t(DI_CDECL* DiGdiVersion)(uint32_t*) = nullptr;
    uint32_t(DI_CDECL* DiGdiInitRegisterMap)(int32_t, void*, int32_t) = nullptr;
    uint32_t(DI_CDECL* DiGdiInitMemorySpaceMap)(int32_t, void*) = nullptr;
    uint32_t(DI_CDECL* DiGdiCancel)() = nullptr;
    uint32_t(DI_CDECL* DiMemoryDownload)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                         const uint8_t*) = nullptr;
    uint32_t(DI_CDECL* DiMemoryWrite)(uint32_t, uint32_t, uint32_t, const void*, uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiMemoryRead)(uint32_t, uint32_t, uint32_t, void*, uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiRegisterWrite)(int32_t, uint32_t, uint32_t, uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiRegisterRead)(int32_t, void*) = nullptr;
    uint32_t(DI_CDECL* DiBreakpointSet)(void*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                        uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiBreakpointClear)(uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiBreakpointClearAll)() = nullptr;
    uint32_t(DI_CDECL* DiExecResetChild)() = nullptr;
    uint32_t(DI_CDECL* DiExecSingleStep)(uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiExecContinue)() = nullptr;
    uint32_t(DI_CDECL* DiExecGetStatus)(void*) = nullptr;
    uint32_t(DI_CDECL* DiExecStop)() = nullptr;

    // Loads the module from beside the running program; false when the file
    // or any of the functions above is missing.
    bool Load(const std::string& fileName, std::string& error);
    platform::ExportAddress Find(const char* name) const { return platform::FindExport(handle, name); }
};

// The 60 exported names, in the order of the export list (ordinal 62 minus
// the row number).
extern const std::vector<std::string> ExportNames;

// The module file beside the running program.
std::string ModulePath(const std::string& fileName);

// Export directory of a PE file: its recorded name and (name, ordinal) pairs.
// False when the file is not a PE image.
struct PeExports {
    std::string dllName;
    std::vector<std::pair<std::string, uint32_t>> entries;
    std::vector<std::string> importedLibraries;
};
bool ReadPeExports(const std::string& path, PeExports& exports, std::string& error);

}  // namespace diorx_test
