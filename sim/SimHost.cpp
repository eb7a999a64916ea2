#include "sim/SimHost.h"

#include <algorithm>
#include <chrono>
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

// ---- Call log ------------------------------------------------------------

void CallLog::Enable(std::size_t capacity) {
    std::lock_guard<std::mutex> guard(lock_);
    capacity_ = capacity == 0 ? 1 : capacity;
    while (calls_.size() > capacity_) {
        calls_.pop_front();
        dropped_++;
    }
    enabled_ = true;
}

void CallLog::Disable() {
    std::lock_guard<std::mutex> guard(lock_);
    enabled_ = false;
    calls_.clear();
    dropped_ = 0;
}

void CallLog::RequireEnabled() const {
    if (!enabled_) throw std::logic_error("the host's call log is off: turn it on with Log().Enable() first");
}

void CallLog::Add(const char* method, std::initializer_list<uint64_t> args) {
    if (!enabled_) return;
    if (args.size() > kMaxArgs) {
        std::fprintf(stderr, "simulated host: %s logged with too many arguments\n", method);
        std::abort();
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!enabled_) return;
    if (calls_.size() >= capacity_) {
        calls_.pop_front();
        dropped_++;
    }
    Entry entry{method, args.size(), {}};
    std::copy(args.begin(), args.end(), entry.args.begin());
    calls_.push_back(entry);
}

LoggedCall CallLog::ToCall(const Entry& entry) {
    return {entry.method, std::vector<uint64_t>(entry.args.begin(), entry.args.begin() + entry.argCount)};
}

void CallLog::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
    dropped_ = 0;
}

std::vector<LoggedCall> CallLog::Calls() const {
    RequireEnabled();
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<LoggedCall> calls;
    calls.reserve(calls_.size());
    for (const Entry& entry : calls_) calls.push_back(ToCall(entry));
    return calls;
}

std::size_t CallLog::Count(const std::string& method) const {
    RequireEnabled();
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(), [&](const Entry& c) { return method == c.method; }));
}

std::vector<uint64_t> CallLog::LastArgs(const std::string& method) const {
    RequireEnabled();
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (method == it->method) return ToCall(*it).args;
    return {};
}

std::vector<std::string> CallLog::Methods() const {
    RequireEnabled();
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> methods;
    for (const auto& c : calls_) methods.push_back(c.method);
    return methods;
}

std::size_t CallLog::Dropped() const {
    RequireEnabled();
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
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

Host::Host() {
    // Room for the later Dones of a whole test, made before any hand-over.
    later_.reserve(4096);
}

Host::~Host() { StopLaterDone(); }

Host& Host::Instance() {
    // Never destroyed: a module unloaded at process exit still gives its
    // pending calls back through ClientAPI_RemoveSynchronize, after the
    // program's own statics are gone.
    static Host* const host = new Host;
    return *host;
}

void Host::Reset() {
    StopLaterDone();
    ReleaseGivenBackCalls();
    {
        std::lock_guard<std::mutex> guard(lock_);
        components_.clear();
        faults_.clear();
        anyFault_ = false;
        removed_.clear();
        lastServerModuleName_.clear();
        failedHostCall_.clear();
        violations_.clear();
        doneModeCall_ = 0;
    }
    log_.Disable();
    doneMode = DoneMode::Once;
    holdGivenBackCalls = true;
    clientLoadsFlowLibrary = true;
    mainThreadViolations_ = 0;
    executeCount_ = 0;
    lastExecuteStatus_ = 0;
    loadServerModuleCalls_ = 0;
    hostCalls_ = 0;
    failAtCall_ = 0;
    synchronizeCalls_ = 0;
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

void Host::FailHostCall(uint64_t k, HRESULT status) {
    std::lock_guard<std::mutex> guard(lock_);
    failStatus_ = status;
    failedHostCall_.clear();
    failAtCall_ = k == 0 ? 0 : hostCalls_ + k;
}

void Host::ResetHostCallCount() {
    std::lock_guard<std::mutex> guard(lock_);
    hostCalls_ = 0;
    failAtCall_ = 0;
    failedHostCall_.clear();
}

std::string Host::failedHostCall() const {
    std::lock_guard<std::mutex> guard(lock_);
    return failedHostCall_;
}

HRESULT Host::EnterHostCall(const char* method, std::initializer_list<uint64_t> args) {
    CheckMainThread(method);
    log_.Add(method, args);
    const uint64_t n = ++hostCalls_;
    if (n == failAtCall_) {
        std::lock_guard<std::mutex> guard(lock_);
        failedHostCall_ = method;
        return failStatus_;
    }
    return FaultFor(method);
}

void Host::SetDoneModeForCall(uint64_t n, DoneMode mode) {
    std::lock_guard<std::mutex> guard(lock_);
    doneModeCall_ = n == 0 ? 0 : synchronizeCalls_ + n;
    doneModeForCall_ = mode;
}

DoneMode Host::DoneModeFor(uint64_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    return n == doneModeCall_ ? doneModeForCall_ : doneMode;
}

void Host::RecordContractViolation(const std::string& what) {
    std::fprintf(stderr, "simulated host: contract violation: %s\n", what.c_str());
    std::lock_guard<std::mutex> guard(lock_);
    violations_.push_back(what);
}

int Host::contractViolations() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(violations_.size());
}

std::vector<std::string> Host::TakeContractViolations() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(violations_, {});
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

void Host::HoldGivenBack(void* call) {
    if (!holdGivenBackCalls) return;
    CallAddRef(call);
    std::lock_guard<std::mutex> guard(givenBackLock_);
    givenBack_.push_back(call);
}

std::size_t Host::HeldGivenBackCalls() const {
    std::lock_guard<std::mutex> guard(givenBackLock_);
    return givenBack_.size();
}

int Host::ReleaseGivenBackCalls() {
    std::vector<void*> calls;
    {
        std::lock_guard<std::mutex> guard(givenBackLock_);
        calls.swap(givenBack_);
    }
    int alive = 0;
    for (void* call : calls)
        if (CallRelease(call) != 0) ++alive;
    return alive;
}

void Host::RunCall(void* call, DoneMode mode) {
    const HRESULT status = CallExecute(call);
    executeCount_++;
    lastExecuteStatus_ = status;
    switch (mode) {
        case DoneMode::Once:
            HoldGivenBack(call);
            CallDone(call);
            break;
        case DoneMode::Twice:
            HoldGivenBack(call);
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
    const DoneMode mode = DoneModeFor(++synchronizeCalls_);
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
    if (mode == DoneMode::Later) DoneLater(call);
}

// The later Done: the object is queued as ClientAPI_Synchronize returns, and a
// thread of the host's own gives it back while the module goes on.
void Host::DoneLater(void* call) {
    StartLaterThread();
    {
        std::lock_guard<std::mutex> guard(laterLock_);
        later_.push_back(call);
    }
    laterChanged_.notify_all();
}

void Host::StartLaterThread() {
    std::lock_guard<std::mutex> guard(laterLock_);
    if (!laterThread_.joinable()) {
        laterStop_ = false;
        laterThread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(laterLock_);
            for (;;) {
                laterChanged_.wait(lock, [this] { return laterStop_ || !later_.empty(); });
                if (later_.empty()) return;  // stopping, nothing left
                void* next = later_.front();
                later_.erase(later_.begin());
                laterBusy_ = true;
                lock.unlock();
                HoldGivenBack(next);
                CallDone(next);
                lock.lock();
                laterBusy_ = false;
                laterChanged_.notify_all();
            }
        });
    }
}

void Host::FlushLaterDone() {
    std::unique_lock<std::mutex> guard(laterLock_);
    laterChanged_.wait(guard, [this] { return later_.empty() && !laterBusy_; });
}

void Host::StopLaterDone() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(laterLock_);
        laterStop_ = true;
        thread = std::move(laterThread_);
    }
    laterChanged_.notify_all();
    if (thread.joinable()) thread.join();  // gives back what is still queued first
}

void Host::RunFrontEnd(const std::function<void()>& frontEnd) {
    StartLaterThread();
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
