#include "access/GDI_SyncClasses.h"

namespace targetaccess {

HRESULT DI_STDCALL TGdiSync_RegisterAccess::GetValue(uint32_t* value) {
    if (value) *value = Value;
    return host::S_OK;
}

void TGdiSync_RegisterAccess::Perform() {
    Store(IsRead ? Wrapper->ReadRegister(RegisterId, Value) : Wrapper->WriteRegister(RegisterId, Value));
}

void TGdiSync_MemoryAccess::Perform() {
    if (OwnsWords) {
        const auto storage = [this](uint32_t words) {
            Words.reset(new uint32_t[words]());
            return Words.get();
        };
        Store(Wrapper->ReadMemory(SpaceId, storage, Address, Count, Transferred));
        return;
    }
    Store(IsRead ? Wrapper->ReadMemory(SpaceId, Buffer, Address, Count, Transferred)
                 : Wrapper->WriteMemory(SpaceId, Buffer, Address, Count));
}

void TGdiSync_DownloadAccess::Perform() {
    switch (Step) {
        case StepStart: Store(Wrapper->StartDownload(SpaceId)); break;
        case StepBlock: Store(Wrapper->DownloadBlock(SpaceId, Buffer, Address, Count)); break;
        case StepStop: Store(Wrapper->StopDownload(SpaceId)); break;
        case StepFinish: Store(Wrapper->FinishDownload(SpaceId)); break;
        default: break;
    }
}

void TGdiSync_PerfomProcessorOperation::Perform() {
    switch (Operation) {
        case OpReset: Store(Wrapper->ResetProcessor()); break;
        case OpPause: Store(Wrapper->PauseProcessor()); break;
        case OpContinue: Store(Wrapper->ContinueProcessor()); break;
        case OpSingleStep: Store(Wrapper->SingleStep(StepCount, Finished)); break;
        default: break;
    }
}

HRESULT DI_STDCALL TGdiSync_PerfomBreakpointOperation::GetBreakpointId(int32_t* breakpointId) {
    if (breakpointId) *breakpointId = BreakpointId;
    return host::S_OK;
}

void TGdiSync_PerfomBreakpointOperation::Perform() {
    switch (Operation) {
        case OpSet: Store(Wrapper->SetBreakpoint(BreakpointId, Address)); break;
        case OpClear: Store(Wrapper->ClearBreakpoint(BreakpointId)); break;
        case OpClearAll: Store(Wrapper->ClearAllBreakpoints()); break;
        case OpFind: Store(Wrapper->FindBreakpointAt(BreakpointId, Address)); break;
        default: break;
    }
}

HRESULT DI_STDCALL TGdiSync_AccessProcessorState::GetState(uint8_t* state) {
    if (state) *state = State;
    return host::S_OK;
}

void TGdiSync_AccessProcessorState::Perform() { Store(Wrapper->GetProcessorState(State)); }

}  // namespace targetaccess
