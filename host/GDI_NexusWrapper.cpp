#include "host/GDI_NexusWrapper.h"

#include <algorithm>

namespace host {

namespace {
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool NamesMatch(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}

TGDI_NexusWrapper::TGDI_NexusWrapper(std::string processorDesignator)
    : processorDesignator_(std::move(processorDesignator)) {}

// ---- Lookups -------------------------------------------------------------

ComPtr<INexusProcessor> TGDI_NexusWrapper::GetProcessor() {
    ComPtr<INexusWorkspace> workspace;
    Check(LoadNexusWorkspace(workspace.Put()));
    if (!workspace) return nullptr;
    const BStr designator = BStr::FromAnsi(processorDesignator_);
    ComPtr<INexusComponent> component = workspace->FindByDesignator(designator.Get());
    if (!component) return nullptr;
    return component->GetProcessorInterface();
}

template <class Object>
ComPtr<Object> TGDI_NexusWrapper::FindByName(const std::string& name, int32_t (INexusProcessor::*count)(),
                                             Getter<Object> get) {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return nullptr;
    const int32_t n = (processor.Get()->*count)();
    for (int32_t i = 0; i < n; ++i) {
        ComPtr<Object> candidate = (processor.Get()->*get)(i);
        if (candidate && NamesMatch(candidate->GetName().ToAnsi(), name)) return candidate;
    }
    return nullptr;
}

ComPtr<INexusRegister> TGDI_NexusWrapper::FindRegisterByName(const std::string& name) {
    return FindByName<INexusRegister>(name, &INexusProcessor::GetRegisterCount, &INexusProcessor::GetRegister);
}

ComPtr<INexusMemorySpace> TGDI_NexusWrapper::FindMemorySpaceByName(const std::string& name) {
    return FindByName<INexusMemorySpace>(name, &INexusProcessor::GetMemorySpaceCount,
                                         &INexusProcessor::GetMemorySpace);
}

ComPtr<INexusRegister> TGDI_NexusWrapper::FindRegisterById(int32_t id) {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return nullptr;
    if (id == PcRegisterId) return processor->GetPcRegister();
    const auto name = registers_.FirstNameFor(id);
    return name ? FindRegisterByName(*name) : nullptr;
}

ComPtr<INexusMemorySpace> TGDI_NexusWrapper::FindMemorySpaceById(int32_t id) {
    if (!GetProcessor()) return nullptr;
    const auto name = memorySpaces_.FirstNameFor(id);
    return name ? FindMemorySpaceByName(*name) : nullptr;
}

// ---- Memory --------------------------------------------------------------

bool TGDI_NexusWrapper::ReadMemory(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count,
                                   uint32_t& transferred) {
    return ReadMemory(spaceId, [buffer](uint32_t) { return buffer; }, address, count, transferred);
}

bool TGDI_NexusWrapper::ReadMemory(int32_t spaceId, const WordStorage& storage, uint64_t address, uint32_t count,
                                   uint32_t& transferred) {
    if (!GetProcessor()) return false;
    ComPtr<INexusMemorySpace> space = FindMemorySpaceById(spaceId);
    if (!space) return false;
    // One block, bounded by the space's limit; the caller sees a short read
    // through the transferred count.
    const uint32_t n = std::min(count, space->GetTransferLimit());
    transferred = n;
    space->ReadBlock(storage(n), address, n);
    return true;
}

bool TGDI_NexusWrapper::WriteMemory(int32_t spaceId, const uint32_t* buffer, uint64_t address, uint32_t count) {
    if (!GetProcessor()) return false;
    ComPtr<INexusMemorySpace> space = FindMemorySpaceById(spaceId);
    if (!space) return false;
    // A write longer than the space's transfer limit goes out in consecutive
    // blocks, so that no word of the request is silently dropped.
    const uint32_t limit = space->GetTransferLimit();
    if (count == 0) {
        space->WriteBlock(buffer, address, 0);
        return true;
    }
    if (limit == 0) return false;
    for (uint32_t written = 0; written < count;) {
        const uint32_t n = std::min(count - written, limit);
        space->WriteBlock(buffer + written, address + written, n);
        written += n;
    }
    return true;
}

// ---- Registers -----------------------------------------------------------

bool TGDI_NexusWrapper::ReadRegister(int32_t registerId, uint32_t& value) {
    ComPtr<INexusRegister> reg = FindRegisterById(registerId == -1 ? PcRegisterId : registerId);
    if (!reg) return false;
    value = reg->ReadValue();
    return true;
}

bool TGDI_NexusWrapper::WriteRegister(int32_t registerId, uint32_t value) {
    ComPtr<INexusRegister> reg = FindRegisterById(registerId == -1 ? PcRegisterId : registerId);
    if (!reg) return false;
    reg->WriteValue(value);
    return true;
}

// ---- Breakpoints ---------------------------------------------------------

bool TGDI_NexusWrapper::GetBreakpointSpace(BreakpointSpace& space) {
    space.Processor = GetProcessor();
    if (!space.Processor) return false;
    ComPtr<INexusBreakpointSpace> breakpoints = space.Processor->GetBreakpointSpace();
    if (!breakpoints) return false;
    space.SpaceId = breakpoints->GetSpaceId();
    return true;
}

bool TGDI_NexusWrapper::SetBreakpoint(int32_t& breakpointId, uint64_t address) {
    BreakpointSpace space;
    if (!GetBreakpointSpace(space)) return false;
    if (!space.Processor->AddBreakpoint(space.SpaceId, address)) return false;
    // The id comes from the requested address, not from the host's object.
    breakpointId = TranslateAddress(address);
    return true;
}

bool TGDI_NexusWrapper::FindBreakpointAt(int32_t& breakpointId, uint64_t address) {
    BreakpointSpace space;
    if (!GetBreakpointSpace(space)) return false;
    ComPtr<INexusBreakpoint> breakpoint = space.Processor->FindBreakpoint(space.SpaceId, address);
    if (!breakpoint) return false;
    breakpointId = TranslateAddress(breakpoint->GetAddress());
    return true;
}

bool TGDI_NexusWrapper::LookupBreakpointAddress(int32_t breakpointId, uint64_t& address) {
    BreakpointSpace space;
    if (!GetBreakpointSpace(space)) return false;
    ComPtr<INexusBreakpoint> breakpoint =
        space.Processor->FindBreakpoint(space.SpaceId, GetBreakpointAddress(breakpointId));
    if (!breakpoint) return false;
    address = breakpoint->GetAddress();
    return true;
}

bool TGDI_NexusWrapper::ClearBreakpoint(int32_t breakpointId) {
    BreakpointSpace space;
    if (!GetBreakpointSpace(space)) return false;
    uint64_t address = 0;
    if (!LookupBreakpointAddress(breakpointId, address)) return false;
    space.Processor->RemoveBreakpoint(space.SpaceId, address);
    return true;
}

bool TGDI_NexusWrapper::ClearAllBreakpoints() {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return false;
    processor->RemoveAllBreakpoints();
    return true;
}

// ---- Run control ---------------------------------------------------------

bool TGDI_NexusWrapper::ResetProcessor() {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return false;
    processor->Reset();
    return true;
}

bool TGDI_NexusWrapper::PauseProcessor() {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return false;
    processor->Pause();
    return true;
}

bool TGDI_NexusWrapper::ContinueProcessor() {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return false;
    processor->Continue();
    return true;
}

bool TGDI_NexusWrapper::SingleStep(uint32_t stepCount, uint8_t& finished) {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return false;
    processor->StepProcessor(stepCount);
    // Poll on the main thread for just over a second, giving up the rest of
    // the time slice between polls. A wrapped tick counter ends the wait.
    const uint32_t t0 = platform::TickCount();
    bool halted = processor->IsHalted();
    while (!halted) {
        platform::SleepMs(0);
        halted = processor->IsHalted();
        const uint32_t t = platform::TickCount();
        if (t < t0 || t - t0 > SingleStepWaitMs) break;
    }
    finished = halted ? 1 : 0;
    return true;
}

bool TGDI_NexusWrapper::GetProcessorState(uint8_t& state) {
    ComPtr<INexusProcessor> processor = GetProcessor();
    if (!processor) return false;
    state = 0;
    if (processor->IsNotStarted())
        state = 1;
    else if (processor->IsRunning())
        state = 2;
    else if (processor->IsHalted())
        state = 3;
    return true;
}

// ---- Download ------------------------------------------------------------

bool TGDI_NexusWrapper::StartDownload(int32_t spaceId) {
    if (!GetProcessor()) return false;
    ComPtr<INexusMemorySpace> space = FindMemorySpaceById(spaceId);
    return space && space->BeginDownload();
}

bool TGDI_NexusWrapper::FinishDownload(int32_t spaceId) {
    if (!GetProcessor()) return false;
    ComPtr<INexusMemorySpace> space = FindMemorySpaceById(spaceId);
    return space && space->EndDownload();
}

bool TGDI_NexusWrapper::DownloadBlock(int32_t spaceId, const uint32_t* buffer, uint64_t address, uint32_t count) {
    return WriteMemory(spaceId, buffer, address, count);
}

bool TGDI_NexusWrapper::StopDownload(int32_t spaceId) { return FinishDownload(spaceId); }

}  // namespace host
