// The flow library's Nexus objects. Each method checks that it runs on the
// main thread, logs itself, answers an injected fault if there is one, and
// otherwise asks the processor core behind it. A block read or write over the
// space's transfer limit is refused as a contract violation; one the core
// refuses (a bus fault) fails with E_FAIL.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <string>

#include "sim/SimHost.h"

namespace sim {

namespace {

HRESULT Enter(const char* method, std::initializer_list<uint64_t> args = {}) {
    return Host::Instance().EnterHostCall(method, args);
}

// No read or write may ask for more units than the space's transfer limit.
HRESULT CheckTransferLimit(const char* method, ProcessorCore& core, int32_t index, uint32_t count) {
    const uint32_t limit = core.TransferLimit(index);
    if (count <= limit) return S_OK;
    Host::Instance().RecordContractViolation(std::string(method) + " asked for " + std::to_string(count) +
                                             " units over the transfer limit " + std::to_string(limit));
    return E_INVALIDARG;
}

// A core that has lost its processor throws; the host answers a failing
// status, as it does for a processor that stopped answering.
template <class Fn>
HRESULT Guarded(Fn&& fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        if (std::getenv("DIORX_QEMU_TRACE")) std::fprintf(stderr, "host call failed: %s\n", e.what());
        return E_FAIL;
    }
}

uint64_t Ptr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

platform::BSTR NewBstr(const std::string& text) {
    const std::u16string wide = platform::AnsiToWide(text);
    return platform::AllocBstr(wide.data(), wide.size());
}

struct CoreObject : SimObject {
    std::shared_ptr<ProcessorCore> core;
    int32_t index;  // register or memory space index; breakpoint space id
    uint64_t address;  // breakpoints
};

template <std::size_t N>
using Table = SlotTable<N>;

SimObject* NewCoreObject(const void* const* vtable, std::shared_ptr<ProcessorCore> core, int32_t index = 0,
                         uint64_t address = 0) {
    return NewObject<CoreObject>(vtable, std::move(core), index, address);
}

CoreObject* Self(SimObject* object) { return static_cast<CoreObject*>(object); }

// ---- INexusBreakpoint, INexusBreakpointSpace -----------------------------

HRESULT DI_STDCALL BreakpointGetAddress(SimObject* self, uint64_t* address) {
    if (HRESULT fault = Enter("INexusBreakpoint::GetAddress")) return fault;
    return Guarded([&]() -> HRESULT {
        *address = Self(self)->address;
        return S_OK;
    });
}

const void* const* BreakpointTable() {
    static const Table<6> table = [] {
        Table<6> t;
        t.Set(5, &BreakpointGetAddress);
        return t;
    }();
    return table.Data();
}

HRESULT DI_STDCALL BreakpointSpaceGetSpaceId(SimObject* self, uint32_t* id) {
    if (HRESULT fault = Enter("INexusBreakpointSpace::GetSpaceId")) return fault;
    return Guarded([&]() -> HRESULT {
        *id = static_cast<uint32_t>(Self(self)->index);
        return S_OK;
    });
}

const void* const* BreakpointSpaceTable() {
    static const Table<5> table = [] {
        Table<5> t;
        t.Set(4, &BreakpointSpaceGetSpaceId);
        return t;
    }();
    return table.Data();
}

// ---- INexusRegister ------------------------------------------------------

HRESULT DI_STDCALL RegisterGetName(SimObject* self, platform::BSTR* name) {
    if (HRESULT fault = Enter("INexusRegister::GetName", {uint64_t(Self(self)->index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *name = NewBstr(Self(self)->core->RegisterName(Self(self)->index));
        return S_OK;
    });
}

HRESULT DI_STDCALL RegisterReadValue(SimObject* self, uint32_t* value) {
    if (HRESULT fault = Enter("INexusRegister::ReadValue", {uint64_t(Self(self)->index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *value = Self(self)->core->ReadRegister(Self(self)->index);
        return S_OK;
    });
}

HRESULT DI_STDCALL RegisterWriteValue(SimObject* self, uint32_t value) {
    if (HRESULT fault = Enter("INexusRegister::WriteValue", {uint64_t(Self(self)->index), value})) return fault;
    return Guarded([&]() -> HRESULT {
        Self(self)->core->WriteRegister(Self(self)->index, value);
        return S_OK;
    });
}

const void* const* RegisterTable() {
    static const Table<16> table = [] {
        Table<16> t;
        t.Set(8, &RegisterGetName);
        t.Set(10, &RegisterReadValue);
        t.Set(15, &RegisterWriteValue);
        return t;
    }();
    return table.Data();
}

// ---- INexusMemorySpace ---------------------------------------------------

HRESULT DI_STDCALL SpaceGetName(SimObject* self, platform::BSTR* name) {
    if (HRESULT fault = Enter("INexusMemorySpace::GetName", {uint64_t(Self(self)->index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *name = NewBstr(Self(self)->core->MemorySpaceName(Self(self)->index));
        return S_OK;
    });
}

HRESULT DI_STDCALL SpaceGetTransferLimit(SimObject* self, uint32_t* limit) {
    if (HRESULT fault = Enter("INexusMemorySpace::GetTransferLimit", {uint64_t(Self(self)->index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *limit = Self(self)->core->TransferLimit(Self(self)->index);
        return S_OK;
    });
}

HRESULT DI_STDCALL SpaceReadBlock(SimObject* self, uint32_t* buffer, uint64_t address, uint32_t count) {
    if (HRESULT fault = Enter("INexusMemorySpace::ReadBlock", {uint64_t(Self(self)->index), Ptr(buffer), address, count}))
        return fault;
    return Guarded([&]() -> HRESULT {
        ProcessorCore& core = *Self(self)->core;
        if (HRESULT refused = CheckTransferLimit("INexusMemorySpace::ReadBlock", core, Self(self)->index, count))
            return refused;
        return core.ReadBlock(Self(self)->index, buffer, address, count) ? S_OK : E_FAIL;
    });
}

HRESULT DI_STDCALL SpaceWriteBlock(SimObject* self, const uint32_t* buffer, uint64_t address, uint32_t count) {
    if (HRESULT fault = Enter("INexusMemorySpace::WriteBlock", {uint64_t(Self(self)->index), Ptr(buffer), address, count}))
        return fault;
    return Guarded([&]() -> HRESULT {
        ProcessorCore& core = *Self(self)->core;
        if (HRESULT refused = CheckTransferLimit("INexusMemorySpace::WriteBlock", core, Self(self)->index, count))
            return refused;
        return core.WriteBlock(Self(self)->index, buffer, address, count) ? S_OK : E_FAIL;
    });
}

HRESULT DI_STDCALL SpaceBeginDownload(SimObject* self, uint8_t* ok) {
    if (HRESULT fault = Enter("INexusMemorySpace::BeginDownload", {uint64_t(Self(self)->index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *ok = Self(self)->core->BeginDownload(Self(self)->index) ? 1 : 0;
        return S_OK;
    });
}

HRESULT DI_STDCALL SpaceEndDownload(SimObject* self, uint8_t* ok) {
    if (HRESULT fault = Enter("INexusMemorySpace::EndDownload", {uint64_t(Self(self)->index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *ok = Self(self)->core->EndDownload(Self(self)->index) ? 1 : 0;
        return S_OK;
    });
}

const void* const* MemorySpaceTable() {
    static const Table<15> table = [] {
        Table<15> t;
        t.Set(6, &SpaceGetName);
        t.Set(8, &SpaceGetTransferLimit);
        t.Set(11, &SpaceReadBlock);
        t.Set(12, &SpaceWriteBlock);
        t.Set(13, &SpaceBeginDownload);
        t.Set(14, &SpaceEndDownload);
        return t;
    }();
    return table.Data();
}

// ---- INexusProcessor -----------------------------------------------------

ProcessorCore& Core(SimObject* self) { return *Self(self)->core; }

HRESULT DI_STDCALL ProcReset(SimObject* self) {
    if (HRESULT fault = Enter("INexusProcessor::Reset")) return fault;
    return Guarded([&]() -> HRESULT {
        Core(self).Reset();
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcPause(SimObject* self) {
    if (HRESULT fault = Enter("INexusProcessor::Pause")) return fault;
    return Guarded([&]() -> HRESULT {
        Core(self).Pause();
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcContinue(SimObject* self) {
    if (HRESULT fault = Enter("INexusProcessor::Continue")) return fault;
    return Guarded([&]() -> HRESULT {
        Core(self).Continue();
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcStep(SimObject* self, uint32_t count) {
    if (HRESULT fault = Enter("INexusProcessor::StepProcessor", {count})) return fault;
    return Guarded([&]() -> HRESULT {
        Core(self).Step(count);
        // A step that stopped on a fault did not execute its instruction: the
        // step failed, whatever the run state says.
        return Core(self).StepFaulted() ? E_FAIL : S_OK;
    });
}

HRESULT DI_STDCALL ProcIsHalted(SimObject* self, int32_t* value) {
    if (HRESULT fault = Enter("INexusProcessor::IsHalted")) return fault;
    return Guarded([&]() -> HRESULT {
        *value = Core(self).IsHalted() ? 1 : 0;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcIsNotStarted(SimObject* self, int32_t* value) {
    if (HRESULT fault = Enter("INexusProcessor::IsNotStarted")) return fault;
    return Guarded([&]() -> HRESULT {
        *value = Core(self).IsNotStarted() ? 1 : 0;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcIsRunning(SimObject* self, int32_t* value) {
    if (HRESULT fault = Enter("INexusProcessor::IsRunning")) return fault;
    return Guarded([&]() -> HRESULT {
        *value = Core(self).IsRunning() ? 1 : 0;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcGetRegisterCount(SimObject* self, int32_t* count) {
    if (HRESULT fault = Enter("INexusProcessor::GetRegisterCount")) return fault;
    return Guarded([&]() -> HRESULT {
        *count = Core(self).RegisterCount();
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcGetMemorySpaceCount(SimObject* self, int32_t* count) {
    if (HRESULT fault = Enter("INexusProcessor::GetMemorySpaceCount")) return fault;
    return Guarded([&]() -> HRESULT {
        *count = Core(self).MemorySpaceCount();
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcGetMemorySpace(SimObject* self, int32_t index, SimObject** space) {
    if (HRESULT fault = Enter("INexusProcessor::GetMemorySpace", {uint64_t(index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *space = index >= 0 && index < Core(self).MemorySpaceCount()
                     ? NewCoreObject(MemorySpaceTable(), Self(self)->core, index)
                     : nullptr;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcGetRegister(SimObject* self, int32_t index, SimObject** reg) {
    if (HRESULT fault = Enter("INexusProcessor::GetRegister", {uint64_t(index)})) return fault;
    return Guarded([&]() -> HRESULT {
        *reg = index >= 0 && index < Core(self).RegisterCount() ? NewCoreObject(RegisterTable(), Self(self)->core, index)
                                                                : nullptr;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcGetPcRegister(SimObject* self, SimObject** reg) {
    if (HRESULT fault = Enter("INexusProcessor::GetPcRegister")) return fault;
    return Guarded([&]() -> HRESULT {
        const int32_t pc = Core(self).PcIndex();
        *reg = pc >= 0 ? NewCoreObject(RegisterTable(), Self(self)->core, pc) : nullptr;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcGetBreakpointSpace(SimObject* self, SimObject** space) {
    if (HRESULT fault = Enter("INexusProcessor::GetBreakpointSpace")) return fault;
    return Guarded([&]() -> HRESULT {
        const auto id = Core(self).BreakpointSpaceId();
        *space = id ? NewCoreObject(BreakpointSpaceTable(), Self(self)->core, static_cast<int32_t>(*id)) : nullptr;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcFindBreakpoint(SimObject* self, uint32_t spaceId, uint64_t address, SimObject** breakpoint) {
    if (HRESULT fault = Enter("INexusProcessor::FindBreakpoint", {spaceId, address})) return fault;
    return Guarded([&]() -> HRESULT {
        *breakpoint = Core(self).HasBreakpoint(spaceId, address)
                          ? NewCoreObject(BreakpointTable(), Self(self)->core, 0, address)
                          : nullptr;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcAddBreakpoint(SimObject* self, uint32_t spaceId, uint64_t address, SimObject** breakpoint) {
    if (HRESULT fault = Enter("INexusProcessor::AddBreakpoint", {spaceId, address})) return fault;
    return Guarded([&]() -> HRESULT {
        *breakpoint = Core(self).AddBreakpoint(spaceId, address)
                          ? NewCoreObject(BreakpointTable(), Self(self)->core, 0, address)
                          : nullptr;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcRemoveBreakpoint(SimObject* self, uint32_t spaceId, uint64_t address, int32_t* result) {
    if (HRESULT fault = Enter("INexusProcessor::RemoveBreakpoint", {spaceId, address})) return fault;
    return Guarded([&]() -> HRESULT {
        Core(self).RemoveBreakpoint(spaceId, address);
        *result = 1;
        return S_OK;
    });
}

HRESULT DI_STDCALL ProcRemoveAllBreakpoints(SimObject* self) {
    if (HRESULT fault = Enter("INexusProcessor::RemoveAllBreakpoints")) return fault;
    return Guarded([&]() -> HRESULT {
        Core(self).RemoveAllBreakpoints();
        return S_OK;
    });
}

const void* const* ProcessorTable() {
    static const Table<88> table = [] {
        Table<88> t;
        t.Set(69, &ProcReset);
        t.Set(70, &ProcPause);
        t.Set(71, &ProcContinue);
        t.Set(72, &ProcStep);
        t.Set(73, &ProcIsHalted);
        t.Set(74, &ProcIsNotStarted);
        t.Set(75, &ProcIsRunning);
        t.Set(77, &ProcGetRegisterCount);
        t.Set(78, &ProcGetMemorySpaceCount);
        t.Set(79, &ProcGetMemorySpace);
        t.Set(80, &ProcGetRegister);
        t.Set(81, &ProcGetPcRegister);
        t.Set(83, &ProcGetBreakpointSpace);
        t.Set(84, &ProcFindBreakpoint);
        t.Set(85, &ProcAddBreakpoint);
        t.Set(86, &ProcRemoveBreakpoint);
        t.Set(87, &ProcRemoveAllBreakpoints);
        return t;
    }();
    return table.Data();
}

// ---- INexusComponent, INexusWorkspace ------------------------------------

HRESULT DI_STDCALL ComponentGetProcessor(SimObject* self, SimObject** processor) {
    if (HRESULT fault = Enter("INexusComponent::GetProcessorInterface")) return fault;
    return Guarded([&]() -> HRESULT {
        *processor = Self(self)->core ? NewCoreObject(ProcessorTable(), Self(self)->core) : nullptr;
        return S_OK;
    });
}

const void* const* ComponentTable() {
    static const Table<7> table = [] {
        Table<7> t;
        t.Set(6, &ComponentGetProcessor);
        return t;
    }();
    return table.Data();
}

HRESULT DI_STDCALL WorkspaceFindByDesignator(SimObject*, const char16_t* designator, SimObject** component) {
    const std::string name =
        platform::WideToAnsi(std::u16string_view(designator ? designator : u"", platform::BstrLength(designator)));
    Host& host = Host::Instance();
    if (HRESULT fault = Enter("INexusWorkspace::FindByDesignator")) return fault;
    return Guarded([&]() -> HRESULT {
        std::shared_ptr<ProcessorCore> core;
        *component = host.FindComponent(name, core) ? NewCoreObject(ComponentTable(), core) : nullptr;
        return S_OK;
    });
}

const void* const* WorkspaceTable() {
    static const Table<12> table = [] {
        Table<12> t;
        t.Set(11, &WorkspaceFindByDesignator);
        return t;
    }();
    return table.Data();
}

}  // namespace

SimObject* NewWorkspace() { return NewObject<CoreObject>(WorkspaceTable(), nullptr, int32_t{0}, uint64_t{0}); }

}  // namespace sim
