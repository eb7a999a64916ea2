// TGDI_NexusWrapper: the one class that talks to the host's Nexus objects.
//
// It knows the target processor by its designator and the front-end's
// register and memory-space numbering through two name maps. Every operation
// starts again from the workspace: no host object is kept from one operation
// to the next. Operations run only on the host's main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/Rt_NexusWorkspace.h"
#include "host/StringList.h"

namespace host {

// Name comparison of host object names: equal length and equal bytes after
// mapping a to z to A to Z; no other folding.
bool NamesMatch(const std::string& a, const std::string& b);

class TGDI_NexusWrapper {
public:
    explicit TGDI_NexusWrapper(std::string processorDesignator);

    const std::string& ProcessorDesignator() const { return processorDesignator_; }
    int32_t PcRegisterId = -1;
    TStringList& Registers() { return registers_; }
    TStringList& MemorySpaces() { return memorySpaces_; }

    // Lookups. Each yields null when nothing is found.
    ComPtr<INexusProcessor> GetProcessor();
    ComPtr<INexusRegister> FindRegisterByName(const std::string& name);
    ComPtr<INexusRegister> FindRegisterById(int32_t id);
    ComPtr<INexusMemorySpace> FindMemorySpaceByName(const std::string& name);
    ComPtr<INexusMemorySpace> FindMemorySpaceById(int32_t id);

    // Operations: true when every step was carried out, false when a lookup
    // found nothing. A failing host call raises HostError.
    bool ReadMemory(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count, uint32_t& transferred);
    // Storage for the words of a read, asked for once their number (the
    // count bounded by the transfer limit) is known.
    using WordStorage = std::function<uint32_t*(uint32_t words)>;
    bool ReadMemory(int32_t spaceId, const WordStorage& storage, uint64_t address, uint32_t count,
                    uint32_t& transferred);
    bool WriteMemory(int32_t spaceId, const uint32_t* buffer, uint64_t address, uint32_t count);
    bool ReadRegister(int32_t registerId, uint32_t& value);
    bool WriteRegister(int32_t registerId, uint32_t value);
    bool SetBreakpoint(int32_t& breakpointId, uint64_t address);
    bool FindBreakpointAt(int32_t& breakpointId, uint64_t address);
    bool ClearBreakpoint(int32_t breakpointId);
    bool ClearAllBreakpoints();
    bool ResetProcessor();
    bool PauseProcessor();
    bool ContinueProcessor();
    bool SingleStep(uint32_t stepCount, uint8_t& finished);
    bool GetProcessorState(uint8_t& state);
    bool StartDownload(int32_t spaceId);
    bool DownloadBlock(int32_t spaceId, const uint32_t* buffer, uint64_t address, uint32_t count);
    bool StopDownload(int32_t spaceId);
    bool FinishDownload(int32_t spaceId);

    // A breakpoint's id is the low 32 bits of its address; an id turns back
    // into an address by zero-extension.
    static int32_t TranslateAddress(uint64_t address) { return static_cast<int32_t>(static_cast<uint32_t>(address)); }
    static uint64_t GetBreakpointAddress(int32_t breakpointId) { return static_cast<uint32_t>(breakpointId); }

    // How long SingleStep waits on the main thread for the processor to halt.
    static constexpr uint32_t SingleStepWaitMs = 1000;

private:
    template <class Object>
    using Getter = ComPtr<Object> (INexusProcessor::*)(int32_t);
    template <class Object>
    ComPtr<Object> FindByName(const std::string& name, int32_t (INexusProcessor::*count)(), Getter<Object> get);

    // The processor's breakpoint space id; no value when it has none.
    struct BreakpointSpace {
        ComPtr<INexusProcessor> Processor;
        uint32_t SpaceId = 0;
    };
    bool GetBreakpointSpace(BreakpointSpace& space);
    bool LookupBreakpointAddress(int32_t breakpointId, uint64_t& address);

    std::string processorDesignator_;
    TStringList registers_;
    TStringList memorySpaces_;
};

}  // namespace host
