#include "sim/SimHost.h"

#include <algorithm>
#include <thread>

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

// ---- Call log ------------------------------------------------------------

void CallLog::Add(const char* method, std::initializer_list<uint64_t> args) {
    if (args.size() > kMaxArgs) {
        std::fprintf(stderr, "simulated host: %s logged with too many arguments\n", method);
        std::abort();
    }
    Entry entry{method, args.size(), {}};
    std::copy(args.begin(), args.end(), entry.args.begin());
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back(entry);
}

LoggedCall CallLog::ToCall(const Entry& entry) {
    return {entry.method, std::vector<uint64_t>(entry.args.begin(), entry.args.begin() + entry.argCount)};
}

void CallLog::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

std::vector<LoggedCall> CallLog::Calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<LoggedCall> calls;
    calls.reserve(calls_.size());
    for (const Entry& entry : calls_) calls.push_back(ToCall(entry));
    return calls;
}

std::size_t CallLog::Count(const std::string& method) const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(), [&](const Entry& c) { return method == c.method; }));
}

std::vector<uint64_t> CallLog::LastArgs(const std::string& method) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (method == it->method) return ToCall(*it).args;
    return {};
}

std::vector<std::string> CallLog::Methods() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> methods;
    for (const auto& c : calls_) methods.push_back(c.method);
    return methods;
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

Host::Host() = default;

Host& Host::Instance() {
    static Host host;
    return host;
}

void Host::Reset() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        components_.clear();
        faults_.clear();
        anyFault_ = false;
        removed_.clear();
        lastServerModuleName_.clear();
    }
    log_.Clear();
    doneMode = DoneMode::Once;
    clientLoadsFlowLibrary = true;
    mainThreadViolations_ = 0;
    executeCount_ = 0;
    lastExecuteStatus_ = 0;
    loadServerModuleCalls_ = 0;
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

void Host::InjectFault(const std::string& method, HRESULT status) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_[method] = status;
    anyFault_ = true;
}

void Host::ClearFaults() {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.clear();
    anyFault_ = false;
}

HRESULT Host::FaultFor(std::string_view method) const {
    if (!anyFault_) return S_OK;  // the common case, asked on every call
    std::lock_guard<std::mutex> guard(lock_);
    auto it = faults_.find(method);
    return it == faults_.end() ? S_OK : it->second;
}

std::vector<void*> Host::removedCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return removed_;
}

void Host::CheckMainThread(const char* method) {
    if (platform::CurrentThreadId() != mainThreadId_) {
        mainThreadViolations_++;
        std::fprintf(stderr, "simulated host: %s called off the main thread\n", method);
    }
}

void Host::RunCall(void* call) {
    const HRESULT status = CallExecute(call);
    executeCount_++;
    lastExecuteStatus_ = status;
    if (doneMode != DoneMode::Never) CallDone(call);
    if (doneMode == DoneMode::Twice) CallDone(call);
}

void Host::Synchronize(void* call) {
    if (platform::CurrentThreadId() == mainThreadId_ || mainThreadId_ == 0) {
        // Already on the main thread (or no main thread serving): run in place.
        const uint32_t saved = mainThreadId_;
        if (saved == 0) mainThreadId_ = platform::CurrentThreadId();
        RunCall(call);
        mainThreadId_ = saved;
        return;
    }
    Job job{call};
    std::unique_lock<std::mutex> guard(queueLock_);
    queue_.push_back(&job);
    // Wake the main thread after letting go of the lock, so that it does not
    // wake only to wait for the lock.
    guard.unlock();
    queueChanged_.notify_one();
    guard.lock();
    jobDone_.wait(guard, [&] { return job.done; });
}

void Host::RunFrontEnd(const std::function<void()>& frontEnd) {
    const uint32_t previous = mainThreadId_;
    mainThreadId_ = platform::CurrentThreadId();
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        frontEndFinished_ = false;
    }
    std::thread thread([&] {
        frontEnd();
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            frontEndFinished_ = true;
        }
        queueChanged_.notify_all();
    });
    std::unique_lock<std::mutex> guard(queueLock_);
    for (;;) {
        queueChanged_.wait(guard, [&] { return frontEndFinished_ || !queue_.empty(); });
        if (!queue_.empty()) {
            Job* job = queue_.front();
            queue_.pop_front();
            guard.unlock();
            RunCall(job->call);
            guard.lock();
            job->done = true;  // the caller may return from here on
            // Callers from several threads share jobDone_; each checks its
            // own job.
            guard.unlock();
            jobDone_.notify_all();
            guard.lock();
            continue;
        }
        if (frontEndFinished_) break;
    }
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
    std::lock_guard<std::mutex> guard(lock_);
    removed_.push_back(call);
}

// ---- IClient -------------------------------------------------------------

namespace {
using WorkspaceProvider = HRESULT(DI_STDCALL*)(SimObject** workspace);
using AttachProc = void(DI_STDCALL*)(WorkspaceProvider provider);

HRESULT DI_STDCALL ProvideWorkspace(SimObject** workspace) {
    *workspace = nullptr;
    Host& host = Host::Instance();
    host.CheckMainThread("GetNexusWorkspace");
    host.Log().Add("GetNexusWorkspace", {});
    if (HRESULT fault = host.FaultFor("GetNexusWorkspace")) return fault;
    *workspace = NewWorkspace();
    return S_OK;
}

HRESULT DI_STDCALL LoadServerModuleSlot(SimObject*, const char16_t* name, int32_t* result) {
    Host& host = Host::Instance();
    host.Log().Add("IClient::LoadServerModule", {});
    if (HRESULT fault = host.FaultFor("IClient::LoadServerModule")) return fault;
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
    loadServerModuleCalls_++;
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
