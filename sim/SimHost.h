// The simulated host design platform: the stand-in, for tests, benchmarks
// and tools, for the executable that loads the module.
//
// - The executable's entry points ClientAPI_GetClientInterface,
//   ClientAPI_Synchronize, ClientAPI_RemoveSynchronize and
//   ClientAPI_CheckSynchronize (exported undecorated by any program that
//   links the simulated host).
// - A main-thread dispatcher: ClientAPI_Synchronize from any thread hands the
//   call object to the main thread, which runs Execute, then Done, and only
//   then lets the call return. The main thread is the one that runs
//   RunFrontEnd. A hand-over while no main thread is serving is a contract
//   violation: the call is refused, not run in place.
// - An IClient whose LoadServerModule("Weavemill") loads the flow library.
// - The flow library's workspace, components and processors (SimNexus),
//   with processors plugged in as ProcessorCore objects.
// - For tests: fault injection (by method or by the position of a host call),
//   a call log (off until a test turns it on, bounded when on), reference
//   accounting, a check that every Nexus method runs on the main thread, and a
//   record of contract violations (a read or write over a memory space's
//   transfer limit, a hand-over with no main thread serving) that the test
//   fixtures report.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/ProcessorCore.h"
#include "sim/SimCom.h"

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

// How the host gives a call object back after running it.
// Once:  Done right after Execute, before ClientAPI_Synchronize returns.
// Never: not at all (the object stays on the module's pending list).
// Twice: Done two times in a row after Execute.
// Later: Done once, from another thread, after ClientAPI_Synchronize has
//        returned. The host takes no reference of its own meanwhile: the
//        module's pending list must keep the object alive until Done.
enum class DoneMode { Once, Never, Twice, Later };

class Host {
public:
    static Host& Instance();

    // Back to a fresh host: no components, no faults, log off, no contract
    // violations, counters at zero, default options; Done is given for every
    // call object still held for later. Does not touch the flow library once
    // loaded.
    void Reset();

    // Workspace content.
    void AddProcessor(const std::string& designator, std::shared_ptr<ProcessorCore> core);
    void AddComponentWithoutProcessor(const std::string& designator);
    // The component's core; null for unknown designators.
    std::shared_ptr<ProcessorCore> Core(const std::string& designator) const;
    // null when none, or when the component has no processor.
    bool FindComponent(const std::string& designator, std::shared_ptr<ProcessorCore>& core) const;

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
    // Every host call: checks the thread, logs, counts, applies the faults.
    // S_OK when the call may go on.
    HRESULT EnterHostCall(const char* method, std::initializer_list<uint64_t> args = {});

    // The n-th hand-over counted from now (1 for the next) is given back as
    // mode says instead of doneMode. 0 disarms it.
    void SetDoneModeForCall(uint64_t n, DoneMode mode);
    uint64_t synchronizeCalls() const { return synchronizeCalls_; }
    // Waits until every call object held for a later Done has been given back.
    void FlushLaterDone();

    // Call objects the host gave back with Done, and whether the module let
    // them go. Just before its first Done on an object the host takes a
    // reference of its own (the object is still alive then: the module's
    // pending list holds it). ReleaseGivenBackCalls drops those references and
    // returns how many objects are still alive after that: call objects the
    // module still holds although the host gave them back, i.e. leaked ones.
    // Call it when the module holds no call object of its own: no export call
    // running, later Dones flushed. Objects never given back (DoneMode::Never)
    // are not counted: the module keeps them on its pending list until it is
    // unloaded, by design.
    int ReleaseGivenBackCalls();
    // How many given-back call objects the host holds a reference to now.
    std::size_t HeldGivenBackCalls() const;
    // Off for tests that count a call object's references themselves, and
    // for the tools: a host that keeps every call object it was ever handed
    // grows without end in a long session.
    bool holdGivenBackCalls = true;

    // Contract violations: things a real host would fail or hang on.
    void RecordContractViolation(const std::string& what);
    int contractViolations() const;
    // The violations so far, and forgets them (for tests that provoke one).
    std::vector<std::string> TakeContractViolations();

    // Options of the host executable and client.
    DoneMode doneMode = DoneMode::Once;
    bool clientLoadsFlowLibrary = true;
    std::string flowLibraryDirectory;  // where LoadServerModule looks; empty: the search path

    // Observations.
    CallLog& Log() { return log_; }
    int mainThreadViolations() const { return mainThreadViolations_; }
    int executeCount() const { return executeCount_; }
    HRESULT lastExecuteStatus() const { return lastExecuteStatus_; }
    std::vector<void*> removedCalls() const;
    int loadServerModuleCalls() const { return loadServerModuleCalls_; }
    std::u16string lastServerModuleName() const;

    // Main thread. The calling thread becomes the host's main thread and
    // serves hand-overs until frontEnd, run on a thread of its own, returns.
    // Hand-overs from any other thread are refused as contract violations
    // unless a main thread is serving.
    void RunFrontEnd(const std::function<void()>& frontEnd);
    uint32_t MainThreadId() const { return mainThreadId_; }
    void CheckMainThread(const char* method);
    // Runs fn with the calling thread as the host's main thread, as the host
    // does when it calls into a module from its own main loop: hand-overs
    // from this thread run in place; nothing serves other threads.
    void RunAsMainThread(const std::function<void()>& fn);

    // Entry points (called by the exported ClientAPI_* functions).
    void Synchronize(void* call);
    void RemoveSynchronize(void* call);
    void* ClientObject();
    void LoadServerModule(const std::u16string& name);

private:
    Host();
    ~Host();
    DoneMode DoneModeFor(uint64_t n);
    void RunCall(void* call, DoneMode mode);
    void DoneLater(void* call);
    void StopLaterDone();

    struct Component {
        std::shared_ptr<ProcessorCore> core;
    };
    mutable std::mutex lock_;
    std::map<std::string, Component> components_;
    std::map<std::string, HRESULT, std::less<>> faults_;
    std::atomic<bool> anyFault_{false};  // faults_ is not empty
    CallLog log_;
    std::vector<void*> removed_;
    std::u16string lastServerModuleName_;
    std::atomic<int> mainThreadViolations_{0};
    std::atomic<int> executeCount_{0};
    std::atomic<HRESULT> lastExecuteStatus_{0};
    std::atomic<int> loadServerModuleCalls_{0};
    std::atomic<uint32_t> mainThreadId_{0};
    std::atomic<uint64_t> hostCalls_{0};
    std::atomic<uint64_t> failAtCall_{0};
    HRESULT failStatus_ = E_FAIL;
    std::string failedHostCall_;
    std::atomic<uint64_t> synchronizeCalls_{0};
    uint64_t doneModeCall_ = 0;
    DoneMode doneModeForCall_ = DoneMode::Once;
    std::vector<std::string> violations_;
    void HoldGivenBack(void* call);
    mutable std::mutex givenBackLock_;
    std::vector<void*> givenBack_;

    // Hand-over queue. The main thread waits on queueChanged_ for work (or
    // the end of the front-end), each caller on jobDone_ for its own job.
    // A hand-over allocates nothing on the caller's thread (the jobs are the
    // callers' own, linked in place; the later-Done list and its thread are
    // made ready beforehand): a test that makes the module's allocations
    // fail on that thread never makes the host's fail.
    std::mutex queueLock_;
    std::condition_variable queueChanged_;
    std::condition_variable jobDone_;
    struct Job {
        void* call;
        DoneMode mode = DoneMode::Once;
        std::atomic<bool> done{false};
        Job* next = nullptr;
    };
    // Counts the jobs queued and the front-end's end: what the main thread
    // watches while it spins.
    std::atomic<uint64_t> queueEvents_{0};
    Job* queueHead_ = nullptr;
    Job* queueTail_ = nullptr;
    bool frontEndFinished_ = false;
    bool serving_ = false;

    // Call objects waiting for their later Done, and the thread that gives it.
    std::mutex laterLock_;
    std::condition_variable laterChanged_;
    std::vector<void*> later_;  // room made once: pushes do not allocate
    void StartLaterThread();
    bool laterBusy_ = false;
    bool laterStop_ = false;
    std::thread laterThread_;
};

// Raw access to the module's call objects as the host sees them.
HRESULT CallExecute(void* call);
HRESULT CallDone(void* call);
uint32_t CallAddRef(void* call);
uint32_t CallRelease(void* call);

// Creates the workspace object handed out by the flow library.
SimObject* NewWorkspace();

}  // namespace sim
