#include "sim/testing/TestProbe.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {

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

// ---- Probe ---------------------------------------------------------------

TestProbe::TestProbe(Host& host) : host_(host) {
    // Room for the later Dones of a whole test, made before any hand-over.
    later_.reserve(4096);
    StartLaterThread();
    if (host_.SetObserver(this) != nullptr) {
        std::fputs("test probe: the host has an observer already\n", stderr);
        std::abort();
    }
}

TestProbe::~TestProbe() {
    StopLaterDone();
    ReleaseGivenBackCalls();
    host_.SetObserver(nullptr);
}

void TestProbe::Reset() {
    StopLaterDone();
    ReleaseGivenBackCalls();
    {
        std::lock_guard<std::mutex> guard(lock_);
        faults_.clear();
        anyFault_ = false;
        removed_.clear();
        failedHostCall_.clear();
        violations_.clear();
        doneModeCall_ = 0;
    }
    log_.Disable();
    doneMode = DoneMode::Once;
    holdGivenBackCalls = true;
    mainThreadViolations_ = 0;
    executeCount_ = 0;
    lastExecuteStatus_ = 0;
    loadServerModuleCalls_ = 0;
    hostCalls_ = 0;
    failAtCall_ = 0;
    synchronizeCalls_ = 0;
    StartLaterThread();
}

void TestProbe::InjectFault(const std::string& method, HRESULT status) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_[method] = status;
    anyFault_ = true;
}

void TestProbe::ClearFaults() {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.clear();
    anyFault_ = false;
}

HRESULT TestProbe::FaultFor(std::string_view method) const {
    if (!anyFault_) return S_OK;  // the common case, asked on every call
    std::lock_guard<std::mutex> guard(lock_);
    auto it = faults_.find(method);
    return it == faults_.end() ? S_OK : it->second;
}

void TestProbe::FailHostCall(uint64_t k, HRESULT status) {
    std::lock_guard<std::mutex> guard(lock_);
    failStatus_ = status;
    failedHostCall_.clear();
    failAtCall_ = k == 0 ? 0 : hostCalls_ + k;
}

void TestProbe::ResetHostCallCount() {
    std::lock_guard<std::mutex> guard(lock_);
    hostCalls_ = 0;
    failAtCall_ = 0;
    failedHostCall_.clear();
}

std::string TestProbe::failedHostCall() const {
    std::lock_guard<std::mutex> guard(lock_);
    return failedHostCall_;
}

HRESULT TestProbe::OnHostCall(const char* method, std::initializer_list<uint64_t> args, bool onMainThread) {
    if (!onMainThread) mainThreadViolations_++;
    log_.Add(method, args);
    const uint64_t n = ++hostCalls_;
    if (n == failAtCall_) {
        std::lock_guard<std::mutex> guard(lock_);
        failedHostCall_ = method;
        return failStatus_;
    }
    const HRESULT fault = FaultFor(method);
    if (fault == S_OK && std::strcmp(method, "IClient::LoadServerModule") == 0) loadServerModuleCalls_++;
    return fault;
}

void TestProbe::SetDoneModeForCall(uint64_t n, DoneMode mode) {
    std::lock_guard<std::mutex> guard(lock_);
    doneModeCall_ = n == 0 ? 0 : synchronizeCalls_ + n;
    doneModeForCall_ = mode;
}

DoneMode TestProbe::OnHandOver(void*) {
    const uint64_t n = ++synchronizeCalls_;
    std::lock_guard<std::mutex> guard(lock_);
    return n == doneModeCall_ ? doneModeForCall_ : doneMode;
}

void TestProbe::OnExecuted(void* call, HRESULT status, DoneMode mode) {
    executeCount_++;
    lastExecuteStatus_ = status;
    if (mode == DoneMode::Once || mode == DoneMode::Twice) HoldGivenBack(call);
}

void TestProbe::OnRemoveSynchronize(void* call) {
    std::lock_guard<std::mutex> guard(lock_);
    removed_.push_back(call);
}

std::vector<void*> TestProbe::removedCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return removed_;
}

void TestProbe::OnContractViolation(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    violations_.push_back(what);
}

int TestProbe::contractViolations() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(violations_.size());
}

std::vector<std::string> TestProbe::TakeContractViolations() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(violations_, {});
}

void TestProbe::HoldGivenBack(void* call) {
    if (!holdGivenBackCalls) return;
    CallAddRef(call);
    std::lock_guard<std::mutex> guard(givenBackLock_);
    givenBack_.push_back(call);
}

std::size_t TestProbe::HeldGivenBackCalls() const {
    std::lock_guard<std::mutex> guard(givenBackLock_);
    return givenBack_.size();
}

int TestProbe::ReleaseGivenBackCalls() {
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

// The later Done: the object is queued as ClientAPI_Synchronize returns, and
// the probe's thread gives it back while the module goes on.
void TestProbe::GiveBackLater(void* call) {
    StartLaterThread();  // running already unless the probe was just stopped
    {
        std::lock_guard<std::mutex> guard(laterLock_);
        later_.push_back(call);
    }
    laterChanged_.notify_all();
}

void TestProbe::StartLaterThread() {
    std::lock_guard<std::mutex> guard(laterLock_);
    if (laterThread_.joinable()) return;
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

void TestProbe::FlushLaterDone() {
    std::unique_lock<std::mutex> guard(laterLock_);
    laterChanged_.wait(guard, [this] { return later_.empty() && !laterBusy_; });
}

void TestProbe::StopLaterDone() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(laterLock_);
        laterStop_ = true;
        thread = std::move(laterThread_);
    }
    laterChanged_.notify_all();
    if (thread.joinable()) thread.join();  // gives back what is still queued first
}

}  // namespace sim
