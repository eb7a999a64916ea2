#include "access/RT_ThreadSync.h"

#include "host/ClientProcs.h"
#include "host/RT_ClientServerInterface.h"

namespace targetaccess {

std::unique_ptr<PendingCallList> g_PendingCalls;

namespace {
// Guards the pointer g_PendingCalls itself, which unload clears while the
// host may still give calls back from a thread of its own; the list's own
// lock guards its entries.
std::mutex g_PendingCallsPointerLock;
}  // namespace

void PendingCallList::Add(IThreadSynchronize* call) {
    host::ComPtr<IThreadSynchronize> entry(call);
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(std::move(entry));
}

bool PendingCallList::Remove(IThreadSynchronize* call) {
    host::ComPtr<IThreadSynchronize> removed;  // released after the lock
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->Get() == call) {
            removed = std::move(*it);
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

host::ComPtr<IThreadSynchronize> PendingCallList::TakeFirst() {
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.empty()) return nullptr;
    host::ComPtr<IThreadSynchronize> first = std::move(entries_.front());
    entries_.erase(entries_.begin());
    return first;
}

std::size_t PendingCallList::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

void ForgetPendingCall(IThreadSynchronize* call) {
    if (!call) return;
    std::lock_guard<std::mutex> guard(g_PendingCallsPointerLock);
    if (g_PendingCalls) g_PendingCalls->Remove(call);
}

void RunOnMainThread(IUnknownLike* call) {
    const auto synchronize = host::g_HostClientApi.ClientAPI_Synchronize;
    if (!synchronize) return;
    host::ComPtr<IThreadSynchronize> sync;
    host::Check(call->QueryInterface(IThreadSynchronize::IID, reinterpret_cast<void**>(sync.Put())));
    // QueryInterface counted the reference that sync now owns.
    {
        std::lock_guard<std::mutex> guard(g_PendingCallsPointerLock);
        if (g_PendingCalls) g_PendingCalls->Add(sync.Get());
    }
    synchronize(sync.Get());
}

void WithdrawPendingCalls() {
    // The list is taken out first: a call given back from now on finds no
    // list, and the entries are withdrawn and released here. The host is
    // called without the pointer's lock, since it may give a call back at
    // once.
    std::unique_ptr<PendingCallList> list;
    {
        std::lock_guard<std::mutex> guard(g_PendingCallsPointerLock);
        list = std::move(g_PendingCalls);
    }
    if (!list) return;
    while (host::ComPtr<IThreadSynchronize> call = list->TakeFirst()) {
        if (host::g_HostClientApi.ClientAPI_RemoveSynchronize) host::g_HostClientApi.ClientAPI_RemoveSynchronize(call.Get());
    }
}

void InitializeModule() {
    host::InitClientInterface();
    host::BindHostClientApi();
    std::lock_guard<std::mutex> guard(g_PendingCallsPointerLock);
    if (!g_PendingCalls) g_PendingCalls = std::make_unique<PendingCallList>();
}

namespace {
// Load and unload of the module: set up at static initialisation, withdraw
// pending calls at finalisation.
struct ModuleLifetime {
    ModuleLifetime() { InitializeModule(); }
    ~ModuleLifetime() { WithdrawPendingCalls(); }
} g_ModuleLifetime;
}  // namespace

}  // namespace targetaccess
