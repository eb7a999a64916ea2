// The host's Nexus on-chip-debug objects, as the module calls them, and the
// loader that fetches the workspace from the host's flow library.
#pragma once

#include <cstdint>

#include "host/ComSupport.h"
#include "host/RT_ClientServerInterface.h"

namespace host {

class INexusProcessor;
class INexusComponent;
class INexusMemorySpace;
class INexusRegister;
class INexusBreakpointSpace;
class INexusBreakpoint;

class INexusWorkspace : public ComInterface {
public:
    ComPtr<INexusComponent> FindByDesignator(platform::BSTR designator) {
        return Fetch<INexusComponent, 11>(designator);
    }
};

class INexusComponent : public ComInterface {
public:
    ComPtr<INexusProcessor> GetProcessorInterface() { return Fetch<INexusProcessor, 6>(); }
};

class INexusProcessor : public ComInterface {
public:
    void Reset() { Invoke<69>(); }
    void Pause() { Invoke<70>(); }
    void Continue() { Invoke<71>(); }
    void StepProcessor(uint32_t count) { Invoke<72>(count); }
    bool IsHalted() { return Truth<73>(); }
    bool IsNotStarted() { return Truth<74>(); }
    bool IsRunning() { return Truth<75>(); }
    int32_t GetRegisterCount() {
        int32_t count = 0;
        Invoke<77>(&count);
        return count;
    }
    int32_t GetMemorySpaceCount() {
        int32_t count = 0;
        Invoke<78>(&count);
        return count;
    }
    ComPtr<INexusMemorySpace> GetMemorySpace(int32_t index) { return Fetch<INexusMemorySpace, 79>(index); }
    ComPtr<INexusRegister> GetRegister(int32_t index) { return Fetch<INexusRegister, 80>(index); }
    ComPtr<INexusRegister> GetPcRegister() { return Fetch<INexusRegister, 81>(); }
    ComPtr<INexusBreakpointSpace> GetBreakpointSpace() { return Fetch<INexusBreakpointSpace, 83>(); }
    ComPtr<INexusBreakpoint> FindBreakpoint(uint32_t spaceId, uint64_t address) {
        return Fetch<INexusBreakpoint, 84>(spaceId, address);
    }
    ComPtr<INexusBreakpoint> AddBreakpoint(uint32_t spaceId, uint64_t address) {
        return Fetch<INexusBreakpoint, 85>(spaceId, address);
    }
    void RemoveBreakpoint(uint32_t spaceId, uint64_t address) {
        int32_t ignored = 0;
        Invoke<86>(spaceId, address, &ignored);
    }
    void RemoveAllBreakpoints() { Invoke<87>(); }

private:
    // The truth queries write a 32-bit value; the module does not pre-set it.
    template <unsigned N>
    bool Truth() {
        int32_t value;
        Invoke<N>(&value);
        return value != 0;
    }
};

class INexusMemorySpace : public ComInterface {
public:
    BStr GetName() {
        BStr name;
        Invoke<6>(name.Put());
        return name;
    }
    uint32_t GetTransferLimit() {
        uint32_t limit = 0;
        Invoke<8>(&limit);
        return limit;
    }
    void ReadBlock(uint32_t* buffer, uint64_t address, uint32_t count) { Invoke<11>(buffer, address, count); }
    void WriteBlock(const uint32_t* buffer, uint64_t address, uint32_t count) { Invoke<12>(buffer, address, count); }
    bool BeginDownload() { return ByteTruth<13>(); }
    bool EndDownload() { return ByteTruth<14>(); }

private:
    template <unsigned N>
    bool ByteTruth() {
        uint8_t value = 0;
        Invoke<N>(&value);
        return value != 0;
    }
};

class INexusRegister : public ComInterface {
public:
    BStr GetName() {
        BStr name;
        Invoke<8>(name.Put());
        return name;
    }
    uint32_t ReadValue() {
        uint32_t value = 0;
        Invoke<10>(&value);
        return value;
    }
    void WriteValue(uint32_t value) { Invoke<15>(value); }
};

class INexusBreakpointSpace : public ComInterface {
public:
    uint32_t GetSpaceId() {
        uint32_t id = 0;
        Invoke<4>(&id);
        return id;
    }
};

class INexusBreakpoint : public ComInterface {
public:
    uint64_t GetAddress() {
        uint64_t address = 0;
        Invoke<5>(&address);
        return address;
    }
};

// The flow library's export: fills the variable with a counted reference.
using GetNexusWorkspaceProc = HRESULT(DI_STDCALL*)(INexusWorkspace** workspace);

// What the module remembers of the flow library: nothing until the library is
// found, then its handle and the export's address (even a null one) for good.
struct FlowLibraryBinding {
    platform::ModuleHandle FlowLibraryHandle = nullptr;
    GetNexusWorkspaceProc GetNexusWorkspaceEntry = nullptr;
    platform::ModuleHandle (*FindLibrary)(const char* fileName) = platform::FindLoadedLibrary;
    platform::ExportAddress (*FindExport)(platform::ModuleHandle, const char*) = platform::FindExport;
};

extern FlowLibraryBinding g_FlowLibrary;

// Sets *workspace to null, then to the workspace when the flow library offers
// one. Returns 0, or E_UNEXPECTED when a call inside raised; the error itself
// is swallowed.
HRESULT LoadNexusWorkspace(FlowLibraryBinding& binding, IClient* client, INexusWorkspace** workspace);
// The same with the module-wide binding and client interface.
HRESULT DI_STDCALL LoadNexusWorkspace(INexusWorkspace** workspace);

}  // namespace host
