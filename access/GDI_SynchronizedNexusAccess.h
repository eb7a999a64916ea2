// TGDI_NexusAccess: the one object through which a GDI instance reaches the
// target. Each marshalled method builds a call object, runs it on the host's
// main thread and reads the results back; it may be called from any thread.
// The direct methods use the wrapper's own data on the caller's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/GDI_NexusWrapper.h"

namespace targetaccess {

class TGDI_NexusAccess {
public:
    explicit TGDI_NexusAccess(std::string processorDesignator);

    // Breakpoints. An id is the low 32 bits of the breakpoint's address.
    bool SetBreakpoint(int32_t& breakpointId, uint64_t address);
    bool FindBreakpointAt(int32_t& breakpointId, uint64_t address);
    // FindBreakpointAt telling a lookup that found no breakpoint from one
    // that failed (a host call failed, or the call could not be run).
    enum class Lookup { Found, NotFound, Failed };
    Lookup LookUpBreakpointAt(int32_t& breakpointId, uint64_t address);
    bool ClearBreakpoint(int32_t breakpointId);
    bool ClearAllBreakpoints();
    int32_t TranslateAddress(uint64_t address) const { return host::TGDI_NexusWrapper::TranslateAddress(address); }
    uint64_t GetBreakpointAddress(int32_t breakpointId) const {
        return host::TGDI_NexusWrapper::GetBreakpointAddress(breakpointId);
    }

    // Run control and state. State: 1 not started, 2 running, 3 stopped,
    // anything else unknown.
    bool GetProcessorState(uint8_t& state);
    bool PauseProcessor();
    bool ContinueProcessor();
    bool ResetProcessor();
    bool SingleStep(uint32_t stepCount, bool& finished);

    // Memory, registers (-1 is the program counter) and download steps.
    bool ReadMemory(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count, uint32_t& transferred);
    // The same read into a buffer of exactly the words read (at most the
    // memory space's transfer limit), allocated once the host has told that
    // limit; null when the read did not get that far.
    bool ReadMemory(int32_t spaceId, uint64_t address, uint32_t count, std::unique_ptr<uint32_t[]>& words,
                    uint32_t& transferred);
    bool WriteMemory(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count);
    bool ReadRegister(int32_t registerId, uint32_t& value);
    bool WriteRegister(int32_t registerId, uint32_t value);
    bool StartDownload(int32_t spaceId);
    bool DownloadBlock(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count);
    bool StopDownload(int32_t spaceId);
    bool FinishDownload(int32_t spaceId);

    // The wrapper's own maps, not copies, and its program-counter id.
    host::TStringList& Registers() { return Wrapper->Registers(); }
    host::TStringList& MemorySpaces() { return Wrapper->MemorySpaces(); }
    void SetPcRegister(int32_t registerId) { Wrapper->PcRegisterId = registerId; }

private:
    const std::unique_ptr<host::TGDI_NexusWrapper> Wrapper;
};

}  // namespace targetaccess
