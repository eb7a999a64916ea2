#include "access/RT_ThreadSync.h"

#include "host/ClientProcs.h"
#include "host/RT_ClientServerInterface.h"

namespace targetaccess {

std::unique_ptr<PendingCallList> g_PendingCalls;

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
    if (call && g_PendingCalls) g_PendingCalls->Remove(call);
}

void RunOnMainThread(IUnknownLike* call) {
    const auto synchronize = host::g_HostClientApi.ClientAPI_Synchronize;
    if (!synchronize) return;
    host::ComPtr<IThreadSynchronize> sync;
    host::Check(call->QueryInterface(IThreadSynchronize::IID, reinterpret_cast<void**>(sync.Put())));
    // QueryInterface counted the reference that sync now owns.
    if (g_PendingCalls) g_PendingCalls->Add(sync.Get());
    synchronize(sync.Get());
}

void WithdrawPendingCalls() {
    if (!g_PendingCalls) return;
    while (host::ComPtr<IThreadSynchronize> call = g_PendingCalls->TakeFirst()) {
        if (host::g_HostClientApi.ClientAPI_RemoveSynchronize) host::g_HostClientApi.ClientAPI_RemoveSynchronize(call.Get());
    }
    g_PendingCalls.reset();
}

void InitializeModule() {
    host::InitClientInterface();
    host::BindHostClientApi();
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
