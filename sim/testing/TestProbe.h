// The tests' probe on the simulated host: attached as the host's observer
// for as long as it lives, it watches and steers what the host does.
//
// - Fault injection, by method or by the position of a host call.
// - A call log (off until a test turns it on, bounded when on).
// - How each call object is given back (DoneMode), per hand-over, with a
//   thread of its own for the later Dones.
// - Leak accounting of the call objects given back with Done.
// - A check that every Nexus method runs on the main thread, and a record of
//   contract violations, which the test fixtures report.
// - Counters: host calls, hand-overs, executed calls, withdrawn calls.
//
// The tools never link it: their host has no observer.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/SimHost.h"

namespace sim {

struct LoggedCall {
    std::string method;  // "INexusProcessor::StepProcessor"
    std::vector<uint64_t> args;
};

// The host calls the module made, in order. Off until a test turns it on;
// when on it keeps the latest `capacity` calls and counts the ones it
// dropped. Reading a log that is off is a test's mistake and throws
// std::logic_error, so that a check on it can never pass by accident.
class CallLog {
public:
    // method: a string literal (the log keeps the pointer); at most
    // kMaxArgs arguments. Adding allocates nothing once the log is full.
    static constexpr std::size_t kMaxArgs = 6;
    static constexpr std::size_t DefaultCapacity = 65536;

    void Enable(std::size_t capacity = DefaultCapacity);
    // Off and empty.
    void Disable();
    bool Enabled() const { return enabled_; }
    void Add(const char* method, std::initializer_list<uint64_t> args);
    void Clear();
    std::vector<LoggedCall> Calls() const;
    std::size_t Count(const std::string& method) const;
    // The arguments of the last call of a method; empty when there was none.
    std::vector<uint64_t> LastArgs(const std::string& method) const;
    std::vector<std::string> Methods() const;
    // Calls dropped because the log was full.
    std::size_t Dropped() const;

private:
    struct Entry {
        const char* method;
        std::size_t argCount;
        std::array<uint64_t, kMaxArgs> args;
    };
    static LoggedCall ToCall(const Entry& entry);
    void RequireEnabled() const;

    mutable std::mutex lock_;
    std::atomic<bool> enabled_{false};
    std::size_t capacity_ = DefaultCapacity;
    std::size_t dropped_ = 0;
    std::deque<Entry> calls_;
};

class TestProbe final : public HostObserver {
public:
    // Attaches itself to host; a host takes one probe at a time.
    explicit TestProbe(Host& host = Host::Instance());
    // Gives Done to every call object still held for later, drops the
    // given-back references it holds, and detaches.
    ~TestProbe();
    TestProbe(const TestProbe&) = delete;
    TestProbe& operator=(const TestProbe&) = delete;

    // Back to a fresh probe: no faults, log off, no contract violations,
    // counters at zero, default options; Done is given for every call object
    // still held for later.
    void Reset();

    // Fault injection: the named method ("INexusProcessor::Reset",
    // "IClient::LoadServerModule", "GetNexusWorkspace") answers with status
    // until cleared.
    void InjectFault(const std::string& method, HRESULT status);
    void ClearFaults();
    HRESULT FaultFor(std::string_view method) const;
    // The k-th host call counted from now (1 for the next) answers status
    // instead of running. Host calls are the Nexus methods, GetNexusWorkspace
    // and IClient::LoadServerModule. 0 disarms it.
    void FailHostCall(uint64_t k, HRESULT status = E_FAIL);
    // Host calls made since the last Reset or ResetHostCallCount.
    uint64_t hostCalls() const { return hostCalls_; }
    void ResetHostCallCount();
    // The method that answered the injected failure; empty when none did.
    std::string failedHostCall() const;

    // How the host gives call objects back.
    DoneMode doneMode = DoneMode::Once;
    // The n-th hand-over counted from now (1 for the next) is given back as
    // mode says instead of doneMode. 0 disarms it.
    void SetDoneModeForCall(uint64_t n, DoneMode mode);
    uint64_t synchronizeCalls() const { return synchronizeCalls_; }
    // Waits until every call object held for a later Done has been given back.
    void FlushLaterDone();

    // Call objects the host gave back with Done, and whether the module let
    // them go. Just before the first Done on an object the probe takes a
    // reference of its own (the object is still alive then: the module's
    // pending list holds it). ReleaseGivenBackCalls drops those references and
    // returns how many objects are still alive after that: call objects the
    // module still holds although the host gave them back, i.e. leaked ones.
    // Call it when the module holds no call object of its own: no export call
    // running, later Dones flushed. Objects never given back (DoneMode::Never)
    // are not counted: the module keeps them on its pending list until it is
    // unloaded, by design.
    int ReleaseGivenBackCalls();
    // How many given-back call objects the probe holds a reference to now.
    std::size_t HeldGivenBackCalls() const;
    // Off for tests that count a call object's references themselves.
    bool holdGivenBackCalls = true;

    // Contract violations the host reported.
    int contractViolations() const;
    // The violations so far, and forgets them (for tests that provoke one).
    std::vector<std::string> TakeContractViolations();

    // Observations.
    CallLog& Log() { return log_; }
    int mainThreadViolations() const { return mainThreadViolations_; }
    int executeCount() const { return executeCount_; }
    HRESULT lastExecuteStatus() const { return lastExecuteStatus_; }
    std::vector<void*> removedCalls() const;
    // IClient::LoadServerModule calls that ran (not answered by a fault).
    int loadServerModuleCalls() const { return loadServerModuleCalls_; }

    // HostObserver.
    HRESULT OnHostCall(const char* method, std::initializer_list<uint64_t> args, bool onMainThread) override;
    DoneMode OnHandOver(void* call) override;
    void OnExecuted(void* call, HRESULT status, DoneMode mode) override;
    void GiveBackLater(void* call) override;
    void OnRemoveSynchronize(void* call) override;
    void OnContractViolation(const std::string& what) override;

private:
    void HoldGivenBack(void* call);
    void StartLaterThread();
    void StopLaterDone();

    Host& host_;
    mutable std::mutex lock_;
    std::map<std::string, HRESULT, std::less<>> faults_;
    std::atomic<bool> anyFault_{false};  // faults_ is not empty
    CallLog log_;
    std::vector<void*> removed_;
    std::atomic<int> mainThreadViolations_{0};
    std::atomic<int> executeCount_{0};
    std::atomic<HRESULT> lastExecuteStatus_{0};
    std::atomic<int> loadServerModuleCalls_{0};
    std::atomic<uint64_t> hostCalls_{0};
    std::atomic<uint64_t> failAtCall_{0};
    HRESULT failStatus_ = E_FAIL;
    std::string failedHostCall_;
    std::atomic<uint64_t> synchronizeCalls_{0};
    uint64_t doneModeCall_ = 0;
    DoneMode doneModeForCall_ = DoneMode::Once;
    std::vector<std::string> violations_;
    mutable std::mutex givenBackLock_;
    std::vector<void*> givenBack_;

    // Call objects waiting for their later Done, and the thread that gives
    // it. The list has room made once and the thread runs from the start: a
    // hand-over allocates nothing on the caller's thread.
    std::mutex laterLock_;
    std::condition_variable laterChanged_;
    std::vector<void*> later_;
    bool laterBusy_ = false;
    bool laterStop_ = false;
    std::thread laterThread_;
};

}  // namespace sim
