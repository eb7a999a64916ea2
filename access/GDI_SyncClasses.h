// The call objects that carry each target operation to the host's main
// thread. A call object holds its inputs, its results and the borrowed
// processor wrapper; its Perform, run on the main thread, calls exactly one
// wrapper operation chosen by class and operation code.
#pragma once

#include <cstdint>
#include <memory>

#include "access/RT_ThreadSync.h"
#include "host/GDI_NexusWrapper.h"

namespace targetaccess {

using host::TGDI_NexusWrapper;

struct IGdiSync_Base : IThreadSynchronize {
    // {BA532A4B-EA43-42B0-A94C-6A23393E2A8B}
    static constexpr Guid IID = {0xBA532A4B, 0xEA43, 0x42B0, {0xA9, 0x4C, 0x6A, 0x23, 0x39, 0x3E, 0x2A, 0x8B}};
    static bool Answers(const Guid& iid) { return iid == IID || IThreadSynchronize::Answers(iid); }

    virtual HRESULT DI_STDCALL GetSuccess(int32_t* success) = 0;  // slot 7
};

struct IGdiSync_RegisterAccess : IGdiSync_Base {
    // {5152823B-9935-4CCB-B329-7CEE2EF40D8A}
    static constexpr Guid IID = {0x5152823B, 0x9935, 0x4CCB, {0xB3, 0x29, 0x7C, 0xEE, 0x2E, 0xF4, 0x0D, 0x8A}};
    static bool Answers(const Guid& iid) { return iid == IID || IGdiSync_Base::Answers(iid); }

    virtual HRESULT DI_STDCALL GetValue(uint32_t* value) = 0;  // slot 8
};

struct IGdiSync_MemoryAccess : IGdiSync_Base {
    // {3F6CEB43-3604-46AF-BA53-C69768793A49}
    static constexpr Guid IID = {0x3F6CEB43, 0x3604, 0x46AF, {0xBA, 0x53, 0xC6, 0x97, 0x68, 0x79, 0x3A, 0x49}};
    static bool Answers(const Guid& iid) { return iid == IID || IGdiSync_Base::Answers(iid); }

    virtual HRESULT DI_STDCALL GetTransferred(uint32_t* transferred) = 0;  // slot 8
};

struct IGdiSync_PerfomProcessorOperation : IGdiSync_Base {
    // {AAB7DFAD-8C56-49B3-9544-E2C32DF920A3}
    static constexpr Guid IID = {0xAAB7DFAD, 0x8C56, 0x49B3, {0x95, 0x44, 0xE2, 0xC3, 0x2D, 0xF9, 0x20, 0xA3}};
    static bool Answers(const Guid& iid) { return iid == IID || IGdiSync_Base::Answers(iid); }

    // Returns the flag itself (all bits set for true), with no status.
    virtual int32_t DI_STDCALL GetFinished() = 0;  // slot 8
};

struct IGdiSync_PerfomBreakpointOperation : IGdiSync_Base {
    // {C1D2D593-81CC-4D9B-827E-7720A9189BA3}
    static constexpr Guid IID = {0xC1D2D593, 0x81CC, 0x4D9B, {0x82, 0x7E, 0x77, 0x20, 0xA9, 0x18, 0x9B, 0xA3}};
    static bool Answers(const Guid& iid) { return iid == IID || IGdiSync_Base::Answers(iid); }

    virtual HRESULT DI_STDCALL GetBreakpointId(int32_t* breakpointId) = 0;  // slot 8
};

struct IGdiSync_AccessProcessorState : IGdiSync_Base {
    // {23DFDF12-745C-44FA-AFBA-AD90081924EF}
    static constexpr Guid IID = {0x23DFDF12, 0x745C, 0x44FA, {0xAF, 0xBA, 0xAD, 0x90, 0x08, 0x19, 0x24, 0xEF}};
    static bool Answers(const Guid& iid) { return iid == IID || IGdiSync_Base::Answers(iid); }

    virtual HRESULT DI_STDCALL GetState(uint8_t* state) = 0;  // slot 8
};

// Holds the wrapper and the success flag (-1 for true, 0 for false).
template <class Interface>
class TGdiSync_Base : public TThreadSynchronize<Interface> {
public:
    HRESULT DI_STDCALL GetSuccess(int32_t* success) final {
        if (success) *success = Success;
        return host::S_OK;
    }
    // For the builder, once the hand-over has returned: true when the
    // wrapper operation ran to its end, whatever it answered; false when a
    // host call failed in it or it never ran.
    bool Answered() const { return Answered_; }

protected:
    explicit TGdiSync_Base(TGDI_NexusWrapper* wrapper) : Wrapper(wrapper) {}
    void Store(bool result) {
        Success = result ? -1 : 0;
        Answered_ = true;
    }

    TGDI_NexusWrapper* const Wrapper;  // borrowed
    int32_t Success = 0;

private:
    bool Answered_ = false;
};

class TGdiSync_RegisterAccess final : public TGdiSync_Base<IGdiSync_RegisterAccess> {
public:
    TGdiSync_RegisterAccess(TGDI_NexusWrapper* wrapper, int32_t registerId, uint32_t value, bool isRead)
        : TGdiSync_Base(wrapper), RegisterId(registerId), Value(value), IsRead(isRead) {}
    HRESULT DI_STDCALL GetValue(uint32_t* value) override;

private:
    void Perform() override;
    const int32_t RegisterId;
    uint32_t Value;
    const bool IsRead;
};

template <class Interface>
class TGdiSync_MemoryAccessT : public TGdiSync_Base<Interface> {
public:
    HRESULT DI_STDCALL GetTransferred(uint32_t* transferred) final {
        if (transferred) *transferred = Transferred;
        return host::S_OK;
    }

protected:
    TGdiSync_MemoryAccessT(TGDI_NexusWrapper* wrapper, int32_t spaceId, uint64_t address, uint32_t* buffer,
                           uint32_t count, bool isRead)
        : TGdiSync_Base<Interface>(wrapper), SpaceId(spaceId), Address(address), Buffer(buffer), Count(count), IsRead(isRead) {}

    const int32_t SpaceId;
    const uint64_t Address;
    uint32_t* const Buffer;  // the caller's; outlives the call
    const uint32_t Count;
    uint32_t Transferred = 0;
    const bool IsRead;
};

class TGdiSync_MemoryAccess : public TGdiSync_MemoryAccessT<IGdiSync_MemoryAccess> {
public:
    TGdiSync_MemoryAccess(TGDI_NexusWrapper* wrapper, int32_t spaceId, uint64_t address, uint32_t* buffer,
                          uint32_t count, bool isRead)
        : TGdiSync_MemoryAccessT(wrapper, spaceId, address, buffer, count, isRead) {}
    // A read into storage of the call's own, allocated on the main thread
    // once the host's transfer limit has bounded the count: as many words as
    // are read, however large the count.
    TGdiSync_MemoryAccess(TGDI_NexusWrapper* wrapper, int32_t spaceId, uint64_t address, uint32_t count)
        : TGdiSync_MemoryAccessT(wrapper, spaceId, address, nullptr, count, true), OwnsWords(true) {}
    // For the builder, once the hand-over has returned: the words read; null
    // when the read did not get that far.
    std::unique_ptr<uint32_t[]> TakeWords() { return std::move(Words); }

protected:
    void Perform() override;

private:
    const bool OwnsWords = false;
    std::unique_ptr<uint32_t[]> Words;
};

// One download step. Used through IGdiSync_MemoryAccess; decides by Step alone.
class TGdiSync_DownloadAccess final : public TGdiSync_MemoryAccess {
public:
    enum : uint8_t { StepStart = 0, StepBlock = 1, StepStop = 2, StepFinish = 3 };

    // Start, stop or finish: no data.
    TGdiSync_DownloadAccess(TGDI_NexusWrapper* wrapper, int32_t spaceId, uint8_t step)
        : TGdiSync_MemoryAccess(wrapper, spaceId, 0, nullptr, 0, true), Step(step) {}
    // One block of data.
    TGdiSync_DownloadAccess(TGDI_NexusWrapper* wrapper, int32_t spaceId, uint64_t address, uint32_t* buffer,
                            uint32_t count)
        : TGdiSync_MemoryAccess(wrapper, spaceId, address, buffer, count, true), Step(StepBlock) {}

private:
    void Perform() override;
    const uint8_t Step;
};

class TGdiSync_PerfomProcessorOperation final : public TGdiSync_Base<IGdiSync_PerfomProcessorOperation> {
public:
    enum : uint8_t { OpReset = 0, OpPause = 1, OpContinue = 2, OpSingleStep = 3 };

    TGdiSync_PerfomProcessorOperation(TGDI_NexusWrapper* wrapper, uint8_t operation, uint32_t stepCount)
        : TGdiSync_Base(wrapper), Operation(operation), StepCount(stepCount) {}
    int32_t DI_STDCALL GetFinished() override { return Finished ? -1 : 0; }

private:
    void Perform() override;
    const uint8_t Operation;
    const uint32_t StepCount;
    uint8_t Finished = 0;
};

class TGdiSync_PerfomBreakpointOperation final : public TGdiSync_Base<IGdiSync_PerfomBreakpointOperation> {
public:
    enum : uint8_t { OpSet = 0, OpClear = 1, OpClearAll = 2, OpFind = 3 };

    TGdiSync_PerfomBreakpointOperation(TGDI_NexusWrapper* wrapper, uint8_t operation, uint64_t address,
                                       int32_t breakpointId)
        : TGdiSync_Base(wrapper), Operation(operation), BreakpointId(breakpointId), Address(address) {}
    HRESULT DI_STDCALL GetBreakpointId(int32_t* breakpointId) override;

private:
    void Perform() override;
    const uint8_t Operation;
    int32_t BreakpointId;
    const uint64_t Address;
};

class TGdiSync_AccessProcessorState final : public TGdiSync_Base<IGdiSync_AccessProcessorState> {
public:
    explicit TGdiSync_AccessProcessorState(TGDI_NexusWrapper* wrapper) : TGdiSync_Base(wrapper) {}
    HRESULT DI_STDCALL GetState(uint8_t* state) override;

private:
    void Perform() override;
    uint8_t State = 0;
};

}  // namespace targetaccess
