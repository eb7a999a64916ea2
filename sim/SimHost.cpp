#include "sim/SimHost.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

namespace sim {

// ---- Reference accounting ------------------------------------------------

std::atomic<int32_t>& LiveObjects() {
    static std::atomic<int32_t> count{0};
    return count;
}

std::atomic<int32_t>& OverReleases() {
    static std::atomic<int32_t> count{0};
    return count;
}

HRESULT DI_STDCALL SimQueryInterface(SimObject* self, const void*, void** out) {
    (void)self;
    if (out) *out = nullptr;
    return E_NOINTERFACE;
}

uint32_t DI_STDCALL SimAddRef(SimObject* self) { return static_cast<uint32_t>(++self->refs); }

uint32_t DI_STDCALL SimRelease(SimObject* self) {
    const int32_t count = --self->refs;
    if (count == 0) {
        LiveObjects()--;
        if (self->destroy) self->destroy(self);
    } else if (count < 0) {
        OverReleases()++;
    }
    return static_cast<uint32_t>(count < 0 ? 0 : count);
}

void UnexpectedSlot() {
    std::fputs("simulated host: a slot that the host does not offer was called\n", stderr);
    std::abort();
}

// ---- The module's call objects, seen through their slots -----------------

namespace {
template <std::size_t N, class Result>
Result CallSlot(void* object) {
    using Method = Result(DI_STDCALL*)(void*);
    auto* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Method>(table[N])(object);
}
}  // namespace

uint32_t CallAddRef(void* call) { return CallSlot<1, uint32_t>(call); }
uint32_t CallRelease(void* call) { return CallSlot<2, uint32_t>(call); }
HRESULT CallExecute(void* call) { return CallSlot<3, HRESULT>(call); }
HRESULT CallDone(void* call) { return CallSlot<4, HRESULT>(call); }

// ---- Host ----------------------------------------------------------------

Host& Host::Instance() {
    // Never destroyed: a module unloaded at process exit still gives its
    // pending calls back through ClientAPI_RemoveSynchronize, after the
    // program's own statics are gone.
    static Host* const host = new Host;
    return *host;
}

void Host::Reset() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        components_.clear();
        lastServerModuleName_.clear();
    }
    clientLoadsFlowLibrary = true;
}

HostObserver* Host::SetObserver(HostObserver* observer) {
    return observer_.exchange(observer, std::memory_order_acq_rel);
}

void Host::AddProcessor(const std::string& designator, std::shared_ptr<ProcessorCore> core) {
    std::lock_guard<std::mutex> guard(lock_);
    components_[designator] = Component{std::move(core)};
}

void Host::AddComponentWithoutProcessor(const std::string& designator) {
    std::lock_guard<std::mutex> guard(lock_);
    components_[designator] = Component{nullptr};
}

std::shared_ptr<ProcessorCore> Host::Core(const std::string& designator) const {
    std::shared_ptr<ProcessorCore> core;
    FindComponent(designator, core);
    return core;
}

bool Host::FindComponent(const std::string& designator, std::shared_ptr<ProcessorCore>& core) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = components_.find(designator);
    if (it == components_.end()) return false;
    core = it->second.core;
    return true;
}

HRESULT Host::EnterHostCall(const char* method, std::initializer_list<uint64_t> args) {
    const bool onMainThread = platform::CurrentThreadId() == mainThreadId_;
    if (!onMainThread) std::fprintf(stderr, "simulated host: %s called off the main thread\n", method);
    HostObserver* const observer = Observer();
    return observer ? observer->OnHostCall(method, args, onMainThread) : S_OK;
}

void Host::RecordContractViolation(const std::string& what) {
    std::fprintf(stderr, "simulated host: contract violation: %s\n", what.c_str());
    if (HostObserver* const observer = Observer()) observer->OnContractViolation(what);
}

void Host::RunCall(void* call, DoneMode mode) {
    const HRESULT status = CallExecute(call);
    if (HostObserver* const observer = Observer()) observer->OnExecuted(call, status, mode);
    switch (mode) {
        case DoneMode::Once: CallDone(call); break;
        case DoneMode::Twice:
            CallDone(call);
            CallDone(call);
            break;
        case DoneMode::Never:
        case DoneMode::Later: break;
    }
}

namespace {
// Each hand-over first waits this long without sleeping, on both sides: the
// caller for its job, the main thread for the next one. Calls come in quick
// series (a run and its stop check are a dozen), and a thread put to sleep
// and woken again costs tens of microseconds each way.
constexpr auto kHandOverSpin = std::chrono::microseconds(50);

// Polls ready() for up to the hand-over spin, giving the processor away
// between polls; true once ready.
template <class Ready>
bool SpinUntil(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kHandOverSpin;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::yield();
    }
    return true;
}
}  // namespace

void Host::Synchronize(void* call) {
    HostObserver* const observer = Observer();
    const DoneMode mode = observer ? observer->OnHandOver(call) : DoneMode::Once;
    if (mainThreadId_ != 0 && platform::CurrentThreadId() == mainThreadId_) {
        // The main thread itself calls in (from its own loop): run in place.
        RunCall(call, mode);
    } else {
        Job job{call};
        std::unique_lock<std::mutex> guard(queueLock_);
        if (!serving_) {
            guard.unlock();
            // A real host would never run it (or block for ever): refuse it.
            RecordContractViolation("ClientAPI_Synchronize called while no main thread is serving");
            return;
        }
        job.mode = mode;
        if (queueTail_)
            queueTail_->next = &job;
        else
            queueHead_ = &job;
        queueTail_ = &job;
        queueEvents_.fetch_add(1, std::memory_order_release);
        // Wake the main thread after letting go of the lock, so that it does
        // not wake only to wait for the lock.
        guard.unlock();
        queueChanged_.notify_one();
        SpinUntil([&] { return job.done.load(std::memory_order_acquire); });
        guard.lock();
        jobDone_.wait(guard, [&] { return job.done.load(std::memory_order_acquire); });
    }
    if (mode == DoneMode::Later) observer->GiveBackLater(call);
}

void Host::RunFrontEnd(const std::function<void()>& frontEnd) {
    const uint32_t previous = mainThreadId_;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        frontEndFinished_ = false;
        serving_ = true;
    }
    mainThreadId_ = platform::CurrentThreadId();
    std::thread thread([&] {
        frontEnd();
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            frontEndFinished_ = true;
            queueEvents_.fetch_add(1, std::memory_order_release);
        }
        queueChanged_.notify_all();
    });
    std::unique_lock<std::mutex> guard(queueLock_);
    for (;;) {
        if (!frontEndFinished_ && !queueHead_) {
            const uint64_t seen = queueEvents_.load(std::memory_order_acquire);
            guard.unlock();
            SpinUntil([&] { return queueEvents_.load(std::memory_order_acquire) != seen; });
            guard.lock();
        }
        queueChanged_.wait(guard, [&] { return frontEndFinished_ || queueHead_; });
        if (queueHead_) {
            Job* job = queueHead_;
            queueHead_ = job->next;
            if (!queueHead_) queueTail_ = nullptr;
            guard.unlock();
            RunCall(job->call, job->mode);
            guard.lock();
            job->done.store(true, std::memory_order_release);  // the caller may return from here on
            // Callers from several threads share jobDone_; each checks its
            // own job.
            guard.unlock();
            jobDone_.notify_all();
            guard.lock();
            continue;
        }
        if (frontEndFinished_) break;
    }
    serving_ = false;
    guard.unlock();
    thread.join();
    mainThreadId_ = previous;
}

void Host::RunAsMainThread(const std::function<void()>& fn) {
    struct Restore {
        std::atomic<uint32_t>& id;
        uint32_t saved;
        ~Restore() { id = saved; }
    } restore{mainThreadId_, mainThreadId_.load()};
    mainThreadId_ = platform::CurrentThreadId();
    fn();
}

void Host::RemoveSynchronize(void* call) {
    if (HostObserver* const observer = Observer()) observer->OnRemoveSynchronize(call);
}

// ---- IClient -------------------------------------------------------------

namespace {
using WorkspaceProvider = HRESULT(DI_STDCALL*)(SimObject** workspace);
using AttachProc = void(DI_STDCALL*)(WorkspaceProvider provider);

HRESULT DI_STDCALL ProvideWorkspace(SimObject** workspace) {
    *workspace = nullptr;
    Host& host = Host::Instance();
    if (HRESULT fault = host.EnterHostCall("GetNexusWorkspace")) return fault;
    *workspace = NewWorkspace();
    return S_OK;
}

HRESULT DI_STDCALL LoadServerModuleSlot(SimObject*, const char16_t* name, int32_t* result) {
    Host& host = Host::Instance();
    if (HRESULT fault = host.EnterHostCall("IClient::LoadServerModule")) return fault;
    host.LoadServerModule(name ? std::u16string(name) : std::u16string());
    if (result) *result = 1;
    return S_OK;
}

struct ClientObject : SimObject {};
}  // namespace

void* Host::ClientObject() {
    static const SlotTable<31> table = [] {
        SlotTable<31> t;
        t.Set(30, &LoadServerModuleSlot);
        return t;
    }();
    // The client lives as long as the process; its references are counted
    // like any other object's but it is never destroyed.
    static sim::ClientObject client{{table.Data(), {1}, nullptr}};
    return &client;
}

std::u16string Host::lastServerModuleName() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastServerModuleName_;
}

void Host::LoadServerModule(const std::u16string& name) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        lastServerModuleName_ = name;
    }
    if (name != u"Weavemill" || !clientLoadsFlowLibrary) return;
    const std::string directory = flowLibraryDirectory.empty() ? platform::ExecutableDirectory() : flowLibraryDirectory;
    platform::ModuleHandle library = platform::LoadLibraryFile(directory + "/" + platform::FlowLibraryFileName());
    if (!library) {
        std::fprintf(stderr, "simulated host: cannot load the flow library from %s\n", directory.c_str());
        return;
    }
    if (auto attach = reinterpret_cast<AttachProc>(platform::FindExport(library, "WeavemillSim_Attach")))
        attach(&ProvideWorkspace);
}

}  // namespace sim

// ---- The host executable's entry points ----------------------------------

extern "C" {

DI_EXPORT void DI_STDCALL ClientAPI_GetClientInterface(void** client) {
    void* object = sim::Host::Instance().ClientObject();
    sim::SimAddRef(static_cast<sim::SimObject*>(object));
    *client = object;
}

DI_EXPORT void DI_STDCALL ClientAPI_Synchronize(void* call) { sim::Host::Instance().Synchronize(call); }

DI_EXPORT void DI_STDCALL ClientAPI_RemoveSynchronize(void* call) { sim::Host::Instance().RemoveSynchronize(call); }

DI_EXPORT int32_t DI_STDCALL ClientAPI_CheckSynchronize(int32_t) { return 0; }

}
