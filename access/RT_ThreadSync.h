// Main-thread call objects.
//
// The host's objects may be used only on the host's main thread. Every
// target operation is packaged as a reference-counted call object and handed
// to the host's ClientAPI_Synchronize, which runs its Execute on the main
// thread and returns when it has run. The host gives the object back with
// Done. Objects handed over and not yet given back are kept on PendingCalls
// and withdrawn from the host when the module is unloaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/ComSupport.h"

namespace targetaccess {

using host::Guid;
using host::HRESULT;

// Slots 0 to 2 of every interface the module hands out.
struct IUnknownLike {
    static constexpr Guid IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    static bool Answers(const Guid& iid) { return iid == IID; }

    virtual HRESULT DI_STDCALL QueryInterface(const Guid& iid, void** object) = 0;  // slot 0
    virtual uint32_t DI_STDCALL AddRef() = 0;                                        // slot 1
    virtual uint32_t DI_STDCALL Release() = 0;                                       // slot 2
};

// The call interface the host receives.
struct IThreadSynchronize : IUnknownLike {
    // {AB8ABE6D-3AFB-43AA-803D-1A9B1838D78D}
    static constexpr Guid IID = {0xAB8ABE6D, 0x3AFB, 0x43AA, {0x80, 0x3D, 0x1A, 0x9B, 0x18, 0x38, 0xD7, 0x8D}};
    static bool Answers(const Guid& iid) { return iid == IID || IUnknownLike::Answers(iid); }

    virtual HRESULT DI_STDCALL Execute() = 0;                           // slot 3
    virtual HRESULT DI_STDCALL Done() = 0;                              // slot 4
    virtual HRESULT DI_STDCALL GetThreadId(uint32_t* threadId) = 0;     // slot 5
    virtual HRESULT DI_STDCALL GetEvent(platform::EventHandle* event) = 0;  // slot 6
};

void ForgetPendingCall(IThreadSynchronize* call);

// Base of every call object, implementing IThreadSynchronize for the class
// interface it is instantiated with (which extends IThreadSynchronize, so the
// host and the builder see one pointer). The object starts with no
// reference and destroys itself when the last one is released.
template <class Interface>
class TThreadSynchronize : public Interface {
public:
    TThreadSynchronize(const TThreadSynchronize&) = delete;
    TThreadSynchronize& operator=(const TThreadSynchronize&) = delete;

    HRESULT DI_STDCALL QueryInterface(const Guid& iid, void** object) override {
        if (!object) return static_cast<HRESULT>(0x80004003u);  // E_POINTER
        if (!Interface::Answers(iid)) {
            *object = nullptr;
            return host::E_NOINTERFACE;
        }
        *object = static_cast<Interface*>(this);
        AddRef();
        return host::S_OK;
    }
    uint32_t DI_STDCALL AddRef() override { return static_cast<uint32_t>(++refCount_); }
    uint32_t DI_STDCALL Release() override {
        const int32_t count = --refCount_;
        if (count == 0) delete this;
        return static_cast<uint32_t>(count);
    }

    // Runs the call; an error escaping it is reported to the host as
    // E_UNEXPECTED and never crosses the interface.
    HRESULT DI_STDCALL Execute() final {
        try {
            Perform();
            return host::S_OK;
        } catch (...) {
            return host::E_UNEXPECTED;
        }
    }
    // The host gives the object back: drop the pending-list reference.
    HRESULT DI_STDCALL Done() final {
        try {
            host::ComPtr<IThreadSynchronize> self(this);
            ForgetPendingCall(self.Get());
            return host::S_OK;
        } catch (...) {
            return host::E_UNEXPECTED;
        }
    }
    HRESULT DI_STDCALL GetThreadId(uint32_t* threadId) final {
        if (threadId) *threadId = CallingThreadId;
        return host::S_OK;
    }
    HRESULT DI_STDCALL GetEvent(platform::EventHandle* event) final {
        if (event) *event = Event;
        return host::S_OK;
    }

    const uint32_t CallingThreadId;
    // For the host only; the module never signals or waits on it.
    const platform::EventHandle Event;

protected:
    TThreadSynchronize() : CallingThreadId(platform::CurrentThreadId()), Event(platform::CreateManualEvent()) {}
    virtual ~TThreadSynchronize() { platform::CloseEvent(Event); }

    // The call's work, run on the host's main thread.
    virtual void Perform() = 0;

private:
    std::atomic<int32_t> refCount_{0};
};

// Call objects handed to the host and not yet given back. Each entry holds a
// reference; every operation takes the list's own lock.
class PendingCallList {
public:
    void Add(IThreadSynchronize* call);
    // Drops the first entry equal to call; false when there is none.
    bool Remove(IThreadSynchronize* call);
    // Takes out the first entry, with its reference; null when empty.
    host::ComPtr<IThreadSynchronize> TakeFirst();
    std::size_t Count() const;

private:
    mutable std::mutex lock_;
    std::vector<host::ComPtr<IThreadSynchronize>> entries_;
};

// Null before load and after unload. Module code reaches it only under a
// lock of its own (tests and tools read it while nothing else runs).
extern std::unique_ptr<PendingCallList> g_PendingCalls;

// Hands a call object, by any of its interfaces, to the host's main thread and
// returns once the host has run it. Without ClientAPI_Synchronize nothing is
// listed and nothing runs.
void RunOnMainThread(IUnknownLike* call);

// Module unload: the list is detached (calls given back from then on find
// none), then each call on it is withdrawn from the host and released.
void WithdrawPendingCalls();

// Module load: binds the host, fetches its client interface, creates the
// pending list. Run by the module's static initialisation.
void InitializeModule();

}  // namespace targetaccess
