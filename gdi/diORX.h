// The module's exported functions as a front-end declares them: C calling
// convention, records passed by value as the platform's C compiler passes
// them (platform/Abi.h). For the
// programs that link the module's code directly (tests, benchmarks, the
// fuzzer); a front-end that loads the module by file binds them by name.
#pragma once

#include <cstdint>

#include "gdi/GDI.h"
#include "gdi/GdiRecords.h"
#include "platform/Platform.h"

extern "C" {
uint32_t DI_CDECL DiGdiOpen(uint32_t, uint32_t, int32_t argc, const char* const* argv,
                            gdi::PollCallbackProc pollCallback);
uint32_t DI_CDECL DiGdiClose(uint32_t flag);
uint32_t DI_CDECL DiGdiGetFeatures(uint8_t* features);
uint32_t DI_CDECL DiGdiSetConfig(uint32_t value);
uint32_t DI_CDECL DiGdiInitIO(uint32_t* value);
uint32_t DI_CDECL DiGdiInitRegisterMap(int32_t count, gdi::GdiMapEntry* entries, int32_t pcRegisterId);
uint32_t DI_CDECL DiGdiInitMemorySpaceMap(int32_t count, gdi::GdiMapEntry* entries);
uint32_t DI_CDECL DiGdiCancel();
uint32_t DI_CDECL DiErrorGetMessage(uint32_t* message);
uint32_t DI_CDECL DiGdiVersion(uint32_t* version);
uint32_t DI_CDECL DiMemoryDownload(uint32_t flag, uint32_t step, gdi::GdiDownloadFormat format, const uint8_t* data);
uint32_t DI_CDECL DiMemoryWrite(gdi::GdiAddress address, const gdi::GdiValue* values, uint32_t count);
uint32_t DI_CDECL DiMemoryRead(gdi::GdiAddress address, gdi::GdiValue* values, uint32_t count);
uint32_t DI_CDECL DiRegisterWrite(int32_t registerId, gdi::GdiValue value);
uint32_t DI_CDECL DiRegisterRead(int32_t registerId, gdi::GdiValue* value);
uint32_t DI_CDECL DiBreakpointSet(gdi::GdiBreakpointResult* result, gdi::GdiBreakpoint request);
uint32_t DI_CDECL DiBreakpointClear(uint32_t breakpointId);
uint32_t DI_CDECL DiBreakpointClearAll();
uint32_t DI_CDECL DiExecResetChild();
uint32_t DI_CDECL DiExecSingleStep(uint32_t count);
uint32_t DI_CDECL DiExecContinue();
uint32_t DI_CDECL DiExecGetStatus(gdi::GdiExitStatus* status);
uint32_t DI_CDECL DiExecStop();

// Fixed answers; they read no argument.
uint32_t DI_CDECL DiGdiAddCallback();
uint32_t DI_CDECL DiGdiSynchronize();
uint32_t DI_CDECL DiDirectAddMenuItem();
uint32_t DI_CDECL DiDirectCommand();
uint32_t DI_CDECL DiDirectReadNoWait();
uint32_t DI_CDECL DiMemorySetMap();
uint32_t DI_CDECL DiMemoryGetMap();
uint32_t DI_CDECL DiMemorySetCpuMap();
uint32_t DI_CDECL DiMemoryGetCpuMap();
uint32_t DI_CDECL DiRegisterClassCreate();
uint32_t DI_CDECL DiRegisterClassDelete();
uint32_t DI_CDECL DiRegisterClassWrite();
uint32_t DI_CDECL DiRegisterClassRead();
uint32_t DI_CDECL DiExecContinueUntil();
uint32_t DI_CDECL DiExecContinueBackground();
uint32_t DI_CDECL DiCommGetAcceptableSettings();
uint32_t DI_CDECL DiTraceSwitchOn();
uint32_t DI_CDECL DiTraceGetInstructions();
uint32_t DI_CDECL DiTracePrintRawInfo();
uint32_t DI_CDECL DiTraceGetNrOfNewFrames();
uint32_t DI_CDECL DiCoverageSwitchOn();
uint32_t DI_CDECL DiCoverageGetInfo();
uint32_t DI_CDECL DiProfilingSwitchOn();
uint32_t DI_CDECL DiProfileGetInfo();
uint32_t DI_CDECL DiStateOpen();
uint32_t DI_CDECL DiStateSave();
uint32_t DI_CDECL DiStateRestore();
uint32_t DI_CDECL DiStateClose();
uint32_t DI_CDECL DiMeeEnumExecEnv();
uint32_t DI_CDECL DiMeeConnect();
uint32_t DI_CDECL DiMeeGetFeatures();
uint32_t DI_CDECL DiMeeInitIO();
uint32_t DI_CDECL DiMeeSelect();
uint32_t DI_CDECL DiMeeDisconnect();
uint32_t DI_CDECL DiCpuSelect();
uint32_t DI_CDECL DiCpuCurrent();
uint32_t DI_CDECL DiProcess();
}
