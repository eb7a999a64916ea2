// The module as a front-end sees it: a library loaded by file, with the Di*
// functions bound by name, records passed by value as the records they are.
//
// Header only, so that the tools and the tests share it without a library
// of their own.
#pragma once

#include <cstdint>
#include <string>

#include "gdi/GdiRecords.h"
#include "platform/Platform.h"

namespace frontend {

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
    uint32_t(DI_CDECL* DiMemoryDownload)(uint32_t, uint32_t, gdi::GdiDownloadFormat, const uint8_t*) = nullptr;
    uint32_t(DI_CDECL* DiMemoryWrite)(gdi::GdiAddress, const void*, uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiMemoryRead)(gdi::GdiAddress, void*, uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiRegisterWrite)(int32_t, gdi::GdiValue) = nullptr;
    uint32_t(DI_CDECL* DiRegisterRead)(int32_t, void*) = nullptr;
    uint32_t(DI_CDECL* DiBreakpointSet)(void*, gdi::GdiBreakpoint) = nullptr;
    uint32_t(DI_CDECL* DiBreakpointClear)(uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiBreakpointClearAll)() = nullptr;
    uint32_t(DI_CDECL* DiExecResetChild)() = nullptr;
    uint32_t(DI_CDECL* DiExecSingleStep)(uint32_t) = nullptr;
    uint32_t(DI_CDECL* DiExecContinue)() = nullptr;
    uint32_t(DI_CDECL* DiExecGetStatus)(void*) = nullptr;
    uint32_t(DI_CDECL* DiExecStop)() = nullptr;

    // Loads the module from a path; false when the file or any of the
    // functions above is missing, with the reason in error.
    bool LoadFile(const std::string& path, std::string& error) {
        handle = platform::LoadLibraryFile(path);
        if (!handle) {
            error = "cannot load " + path;
            return false;
        }
        bool ok = true;
#define DI_BIND(name) ok &= Bind(name, #name, error)
        DI_BIND(DiGdiOpen);
        DI_BIND(DiGdiClose);
        DI_BIND(DiGdiGetFeatures);
        DI_BIND(DiGdiVersion);
        DI_BIND(DiGdiInitRegisterMap);
        DI_BIND(DiGdiInitMemorySpaceMap);
        DI_BIND(DiGdiCancel);
        DI_BIND(DiMemoryDownload);
        DI_BIND(DiMemoryWrite);
        DI_BIND(DiMemoryRead);
        DI_BIND(DiRegisterWrite);
        DI_BIND(DiRegisterRead);
        DI_BIND(DiBreakpointSet);
        DI_BIND(DiBreakpointClear);
        DI_BIND(DiBreakpointClearAll);
        DI_BIND(DiExecResetChild);
        DI_BIND(DiExecSingleStep);
        DI_BIND(DiExecContinue);
        DI_BIND(DiExecGetStatus);
        DI_BIND(DiExecStop);
#undef DI_BIND
        return ok;
    }

    // Loads the module file of that name from beside the running program.
    bool Load(const std::string& fileName, std::string& error) {
        return LoadFile(platform::ExecutableDirectory() + "/" + fileName, error);
    }

    platform::ExportAddress Find(const char* name) const { return platform::FindExport(handle, name); }

private:
    template <class Fn>
    bool Bind(Fn& fn, const char* name, std::string& error) {
        fn = reinterpret_cast<Fn>(Find(name));
        if (!fn) error += std::string(" missing ") + name;
        return fn != nullptr;
    }
};

}  // namespace frontend
