// The module's exported functions: 60 Di* functions, C calling convention.
//
// Records passed by value arrive as the platform's C convention passes them
// (platform/Abi.h); their fields are read byte by byte. No exception leaves
// an exported function: an unexpected failure beneath one returns GdiFailed.
#include <memory>
#include <mutex>
#include <utility>

#include "gdi/GDI.h"
#include "gdi/diORX.h"
#include "host/ClientProcs.h"

using namespace gdi;

namespace {

// The current instance. Calls hold their own reference while they run, so a
// close (or a second open) from another thread never frees an instance that
// a call is still using.
std::mutex g_CurrentLock;
std::shared_ptr<TGDI> g_Current;

std::shared_ptr<TGDI> Current() {
    std::lock_guard<std::mutex> guard(g_CurrentLock);
    return g_Current;
}

// Runs a method of the current instance; 7 when none is open. An unexpected
// failure beneath it (memory exhausted, a hand-over that could not be made)
// returns `unexpected`: 7, except where the export has a failure code of
// its own.
template <class Method>
uint32_t Forward(Method method, uint32_t unexpected = GdiFailed) noexcept {
    try {
        const std::shared_ptr<TGDI> instance = Current();
        if (!instance) return GdiFailed;
        return method(*instance);
    } catch (...) {
        return unexpected;
    }
}

}  // namespace

namespace platform {
// Called by the library's entry routine after static initialisation, which
// has already bound the host; binding again does nothing.
void OnModuleAttach() { host::BindHostClientApi(); }
}  // namespace platform

extern "C" {

// ---- Lifecycle, features and maps -------------------------------------------

DI_EXPORT uint32_t DI_CDECL DiGdiOpen(uint32_t, uint32_t, int32_t argc, const char* const* argv,
                                      PollCallbackProc pollCallback) {
    uint32_t result = GdiFailed;
    std::shared_ptr<TGDI> abandoned;
    try {
        auto instance = std::make_shared<TGDI>();
        instance->Open(argc, argv, pollCallback);
        std::lock_guard<std::mutex> guard(g_CurrentLock);
        abandoned = std::exchange(g_Current, std::move(instance));
        result = GdiOk;
    } catch (...) {
        // Opening reaches no target; only memory exhaustion lands here. The
        // earlier instance does not stay current either: the front-end's
        // next calls must not drive the processor it meant to leave.
        try {
            std::lock_guard<std::mutex> guard(g_CurrentLock);
            abandoned = std::move(g_Current);
            g_Current.reset();
        } catch (...) {
        }
    }
    // The abandoned instance's waits end as on a close; its processor is
    // left as it is.
    try {
        if (abandoned) abandoned->Close();
    } catch (...) {
    }
    return result;
}

DI_EXPORT uint32_t DI_CDECL DiGdiClose(uint32_t) {
    try {
        std::shared_ptr<TGDI> instance;
        {
            std::lock_guard<std::mutex> guard(g_CurrentLock);
            instance = std::move(g_Current);
            g_Current.reset();
        }
        if (!instance) return GdiFailed;
        return instance->Close();
    } catch (...) {
        return GdiFailed;
    }
}

DI_EXPORT uint32_t DI_CDECL DiGdiGetFeatures(uint8_t* features) {
    return Forward([&](TGDI& gdi) { return gdi.GetFeatures(features); });
}

DI_EXPORT uint32_t DI_CDECL DiGdiSetConfig(uint32_t value) {
    return Forward([&](TGDI& gdi) { return gdi.SetConfig(value); });
}

DI_EXPORT uint32_t DI_CDECL DiGdiInitIO(uint32_t* value) {
    return Forward([&](TGDI& gdi) { return gdi.InitIO(value); });
}

DI_EXPORT uint32_t DI_CDECL DiGdiInitRegisterMap(int32_t count, GdiMapEntry* entries, int32_t pcRegisterId) {
    return Forward([&](TGDI& gdi) { return gdi.InitRegisterMap(count, entries, pcRegisterId); });
}

DI_EXPORT uint32_t DI_CDECL DiGdiInitMemorySpaceMap(int32_t count, GdiMapEntry* entries) {
    return Forward([&](TGDI& gdi) { return gdi.InitMemorySpaceMap(count, entries); });
}

DI_EXPORT uint32_t DI_CDECL DiGdiCancel() {
    return Forward([&](TGDI& gdi) { return gdi.Cancel(); });
}

DI_EXPORT uint32_t DI_CDECL DiErrorGetMessage(uint32_t* message) {
    return Forward([&](TGDI& gdi) { return gdi.ErrorGetMessage(message); });
}

DI_EXPORT uint32_t DI_CDECL DiGdiVersion(uint32_t* version) {
    return Forward([&](TGDI& gdi) { return gdi.Version(version); });
}

// ---- Transfer ----------------------------------------------------------------

DI_EXPORT uint32_t DI_CDECL DiMemoryDownload(uint32_t, uint32_t step, GdiDownloadFormat format, const uint8_t* data) {
    return Forward([&](TGDI& gdi) { return gdi.MemoryDownload(step, format, data); }, GdiDownloadFailed);
}

DI_EXPORT uint32_t DI_CDECL DiMemoryWrite(GdiAddress address, const GdiValue* values, uint32_t count) {
    return Forward([&](TGDI& gdi) { return gdi.MemoryWrite(address, values, count); });
}

DI_EXPORT uint32_t DI_CDECL DiMemoryRead(GdiAddress address, GdiValue* values, uint32_t count) {
    return Forward([&](TGDI& gdi) { return gdi.MemoryRead(address, values, count); });
}

DI_EXPORT uint32_t DI_CDECL DiRegisterWrite(int32_t registerId, GdiValue value) {
    return Forward([&](TGDI& gdi) { return gdi.RegisterWrite(registerId, value); });
}

DI_EXPORT uint32_t DI_CDECL DiRegisterRead(int32_t registerId, GdiValue* value) {
    return Forward([&](TGDI& gdi) { return gdi.RegisterRead(registerId, value); });
}

DI_EXPORT uint32_t DI_CDECL DiBreakpointSet(GdiBreakpointResult* result, GdiBreakpoint request) {
    return Forward([&](TGDI& gdi) { return gdi.BreakpointSet(result, request); });
}

DI_EXPORT uint32_t DI_CDECL DiBreakpointClear(uint32_t breakpointId) {
    return Forward([&](TGDI& gdi) { return gdi.BreakpointClear(breakpointId); });
}

DI_EXPORT uint32_t DI_CDECL DiBreakpointClearAll() {
    return Forward([&](TGDI& gdi) { return gdi.BreakpointClearAll(); });
}

// ---- Execution -----------------------------------------------------------------

DI_EXPORT uint32_t DI_CDECL DiExecResetChild() {
    return Forward([&](TGDI& gdi) { return gdi.ExecResetChild(); });
}

DI_EXPORT uint32_t DI_CDECL DiExecSingleStep(uint32_t count) {
    return Forward([&](TGDI& gdi) { return gdi.ExecSingleStep(count); });
}

DI_EXPORT uint32_t DI_CDECL DiExecContinue() {
    return Forward([&](TGDI& gdi) { return gdi.ExecContinue(); });
}

DI_EXPORT uint32_t DI_CDECL DiExecGetStatus(GdiExitStatus* status) {
    return Forward([&](TGDI& gdi) { return gdi.ExecGetStatus(status); });
}

DI_EXPORT uint32_t DI_CDECL DiExecStop() {
    return Forward([&](TGDI& gdi) { return gdi.ExecStop(); });
}

// ---- Fixed answers: parts of the interface this module does not provide ---------
// They read no argument; the caller removes whatever it passed.

// The product exports every function under its plain name, which only the C
// calling convention gives (a stdcall name would be decorated: _Name@N).
#define DI_ASSERT_C_CALL(name) \
    static_assert(platform::IsCCallFunction<decltype(name)>::value, #name " must use the C calling convention")

#define DI_FIXED(name, result)                                  \
    DI_EXPORT uint32_t DI_CDECL name() { return result; }       \
    DI_ASSERT_C_CALL(name);

DI_FIXED(DiGdiAddCallback, GdiNotSupported)
DI_FIXED(DiGdiSynchronize, GdiNotSupported)
DI_FIXED(DiDirectAddMenuItem, GdiNotSupported)
DI_FIXED(DiDirectCommand, GdiNotSupported)
DI_FIXED(DiDirectReadNoWait, GdiNotSupported)
DI_FIXED(DiMemorySetMap, GdiOk)
DI_FIXED(DiMemoryGetMap, GdiOk)
DI_FIXED(DiMemorySetCpuMap, GdiOk)
DI_FIXED(DiMemoryGetCpuMap, GdiNotSupported)
DI_FIXED(DiRegisterClassCreate, GdiNotSupported)
DI_FIXED(DiRegisterClassDelete, GdiNotSupported)
DI_FIXED(DiRegisterClassWrite, GdiNotSupported)
DI_FIXED(DiRegisterClassRead, GdiNotSupported)
DI_FIXED(DiExecContinueUntil, GdiNotSupported)
DI_FIXED(DiExecContinueBackground, GdiNotSupported)
DI_FIXED(DiCommGetAcceptableSettings, GdiNotSupported)
DI_FIXED(DiTraceSwitchOn, GdiNotSupported)
DI_FIXED(DiTraceGetInstructions, GdiNotSupported)
DI_FIXED(DiTracePrintRawInfo, GdiNotSupported)
DI_FIXED(DiTraceGetNrOfNewFrames, GdiNotSupported)
DI_FIXED(DiCoverageSwitchOn, GdiNotSupported)
DI_FIXED(DiCoverageGetInfo, GdiNotSupported)
DI_FIXED(DiProfilingSwitchOn, GdiNotSupported)
DI_FIXED(DiProfileGetInfo, GdiNotSupported)
DI_FIXED(DiStateOpen, GdiNotSupported)
DI_FIXED(DiStateSave, GdiNotSupported)
DI_FIXED(DiStateRestore, GdiNotSupported)
DI_FIXED(DiStateClose, GdiNotSupported)
DI_FIXED(DiMeeEnumExecEnv, GdiNotSupported)
DI_FIXED(DiMeeConnect, GdiNotSupported)
DI_FIXED(DiMeeGetFeatures, GdiNotSupported)
DI_FIXED(DiMeeInitIO, GdiNotSupported)
DI_FIXED(DiMeeSelect, GdiNotSupported)
DI_FIXED(DiMeeDisconnect, GdiNotSupported)
DI_FIXED(DiCpuSelect, GdiNotSupported)
DI_FIXED(DiCpuCurrent, GdiNotSupported)
DI_FIXED(DiProcess, GdiNotSupported)

#undef DI_FIXED
}

DI_ASSERT_C_CALL(DiGdiOpen);
DI_ASSERT_C_CALL(DiGdiClose);
DI_ASSERT_C_CALL(DiGdiGetFeatures);
DI_ASSERT_C_CALL(DiGdiSetConfig);
DI_ASSERT_C_CALL(DiGdiInitIO);
DI_ASSERT_C_CALL(DiGdiInitRegisterMap);
DI_ASSERT_C_CALL(DiGdiInitMemorySpaceMap);
DI_ASSERT_C_CALL(DiGdiCancel);
DI_ASSERT_C_CALL(DiErrorGetMessage);
DI_ASSERT_C_CALL(DiGdiVersion);
DI_ASSERT_C_CALL(DiMemoryDownload);
DI_ASSERT_C_CALL(DiMemoryWrite);
DI_ASSERT_C_CALL(DiMemoryRead);
DI_ASSERT_C_CALL(DiRegisterWrite);
DI_ASSERT_C_CALL(DiRegisterRead);
DI_ASSERT_C_CALL(DiBreakpointSet);
DI_ASSERT_C_CALL(DiBreakpointClear);
DI_ASSERT_C_CALL(DiBreakpointClearAll);
DI_ASSERT_C_CALL(DiExecResetChild);
DI_ASSERT_C_CALL(DiExecSingleStep);
DI_ASSERT_C_CALL(DiExecContinue);
DI_ASSERT_C_CALL(DiExecGetStatus);
DI_ASSERT_C_CALL(DiExecStop);
#undef DI_ASSERT_C_CALL
