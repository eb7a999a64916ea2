#include "access/GDI_SynchronizedNexusAccess.h"

#include "access/GDI_SyncClasses.h"

namespace targetaccess {

namespace {
// Runs a freshly built call object on the main thread. The returned reference
// is the builder's only one; the object lives on while the host still holds it.
template <class Interface>
host::ComPtr<Interface> Run(Interface* call) {
    host::ComPtr<Interface> reference(call);
    RunOnMainThread(reference.Get());
    return reference;
}

template <class Interface>
bool Succeeded(const host::ComPtr<Interface>& call) {
    int32_t success = 0;
    call->GetSuccess(&success);
    return success != 0;
}

template <class Interface>
bool RunForSuccess(Interface* call) {
    return Succeeded(Run(call));
}
}  // namespace

TGDI_NexusAccess::TGDI_NexusAccess(std::string processorDesignator)
    : Wrapper(std::make_unique<host::TGDI_NexusWrapper>(std::move(processorDesignator))) {}

bool TGDI_NexusAccess::SetBreakpoint(int32_t& breakpointId, uint64_t address) {
    auto call = Run<IGdiSync_PerfomBreakpointOperation>(new TGdiSync_PerfomBreakpointOperation(
        Wrapper.get(), TGdiSync_PerfomBreakpointOperation::OpSet, address, breakpointId));
    call->GetBreakpointId(&breakpointId);
    return Succeeded(call);
}

bool TGDI_NexusAccess::FindBreakpointAt(int32_t& breakpointId, uint64_t address) {
    return LookUpBreakpointAt(breakpointId, address) == Lookup::Found;
}

TGDI_NexusAccess::Lookup TGDI_NexusAccess::LookUpBreakpointAt(int32_t& breakpointId, uint64_t address) {
    auto* const object =
        new TGdiSync_PerfomBreakpointOperation(Wrapper.get(), TGdiSync_PerfomBreakpointOperation::OpFind, address, 0);
    auto call = Run<IGdiSync_PerfomBreakpointOperation>(object);
    call->GetBreakpointId(&breakpointId);
    if (Succeeded(call)) return Lookup::Found;
    // `call` keeps the object alive.
    return object->Answered() ? Lookup::NotFound : Lookup::Failed;
}

bool TGDI_NexusAccess::ClearBreakpoint(int32_t breakpointId) {
    return RunForSuccess<IGdiSync_PerfomBreakpointOperation>(new TGdiSync_PerfomBreakpointOperation(
        Wrapper.get(), TGdiSync_PerfomBreakpointOperation::OpClear, 0, breakpointId));
}

bool TGDI_NexusAccess::ClearAllBreakpoints() {
    return RunForSuccess<IGdiSync_PerfomBreakpointOperation>(
        new TGdiSync_PerfomBreakpointOperation(Wrapper.get(), TGdiSync_PerfomBreakpointOperation::OpClearAll, 0, 0));
}

bool TGDI_NexusAccess::GetProcessorState(uint8_t& state) {
    auto call = Run<IGdiSync_AccessProcessorState>(new TGdiSync_AccessProcessorState(Wrapper.get()));
    call->GetState(&state);
    return Succeeded(call);
}

bool TGDI_NexusAccess::PauseProcessor() {
    return RunForSuccess<IGdiSync_PerfomProcessorOperation>(
        new TGdiSync_PerfomProcessorOperation(Wrapper.get(), TGdiSync_PerfomProcessorOperation::OpPause, 0));
}

bool TGDI_NexusAccess::ContinueProcessor() {
    return RunForSuccess<IGdiSync_PerfomProcessorOperation>(
        new TGdiSync_PerfomProcessorOperation(Wrapper.get(), TGdiSync_PerfomProcessorOperation::OpContinue, 0));
}

bool TGDI_NexusAccess::ResetProcessor() {
    return RunForSuccess<IGdiSync_PerfomProcessorOperation>(
        new TGdiSync_PerfomProcessorOperation(Wrapper.get(), TGdiSync_PerfomProcessorOperation::OpReset, 0));
}

bool TGDI_NexusAccess::SingleStep(uint32_t stepCount, bool& finished) {
    auto call = Run<IGdiSync_PerfomProcessorOperation>(new TGdiSync_PerfomProcessorOperation(
        Wrapper.get(), TGdiSync_PerfomProcessorOperation::OpSingleStep, stepCount));
    finished = call->GetFinished() != 0;
    return Succeeded(call);
}

bool TGDI_NexusAccess::ReadMemory(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count,
                                  uint32_t& transferred) {
    auto call = Run<IGdiSync_MemoryAccess>(new TGdiSync_MemoryAccess(Wrapper.get(), spaceId, address, buffer, count, true));
    call->GetTransferred(&transferred);
    return Succeeded(call);
}

bool TGDI_NexusAccess::ReadMemory(int32_t spaceId, uint64_t address, uint32_t count,
                                  std::unique_ptr<uint32_t[]>& words, uint32_t& transferred) {
    auto* const object = new TGdiSync_MemoryAccess(Wrapper.get(), spaceId, address, count);
    auto call = Run<IGdiSync_MemoryAccess>(object);  // keeps the object alive
    call->GetTransferred(&transferred);
    words = object->TakeWords();
    return Succeeded(call);
}

bool TGDI_NexusAccess::WriteMemory(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count) {
    return RunForSuccess<IGdiSync_MemoryAccess>(
        new TGdiSync_MemoryAccess(Wrapper.get(), spaceId, address, buffer, count, false));
}

bool TGDI_NexusAccess::ReadRegister(int32_t registerId, uint32_t& value) {
    auto call = Run<IGdiSync_RegisterAccess>(new TGdiSync_RegisterAccess(Wrapper.get(), registerId, value, true));
    call->GetValue(&value);
    return Succeeded(call);
}

bool TGDI_NexusAccess::WriteRegister(int32_t registerId, uint32_t value) {
    return RunForSuccess<IGdiSync_RegisterAccess>(new TGdiSync_RegisterAccess(Wrapper.get(), registerId, value, false));
}

bool TGDI_NexusAccess::StartDownload(int32_t spaceId) {
    return RunForSuccess<IGdiSync_MemoryAccess>(
        new TGdiSync_DownloadAccess(Wrapper.get(), spaceId, TGdiSync_DownloadAccess::StepStart));
}

bool TGDI_NexusAccess::DownloadBlock(int32_t spaceId, uint32_t* buffer, uint64_t address, uint32_t count) {
    return RunForSuccess<IGdiSync_MemoryAccess>(new TGdiSync_DownloadAccess(Wrapper.get(), spaceId, address, buffer, count));
}

bool TGDI_NexusAccess::StopDownload(int32_t spaceId) {
    return RunForSuccess<IGdiSync_MemoryAccess>(
        new TGdiSync_DownloadAccess(Wrapper.get(), spaceId, TGdiSync_DownloadAccess::StepStop));
}

bool TGDI_NexusAccess::FinishDownload(int32_t spaceId) {
    return RunForSuccess<IGdiSync_MemoryAccess>(
        new TGdiSync_DownloadAccess(Wrapper.get(), spaceId, TGdiSync_DownloadAccess::StepFinish));
}

}  // namespace targetaccess
