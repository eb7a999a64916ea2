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
// - One hook point, HostObserver: null in the tools; the tests attach their
//   probe (sim/testing/TestProbe.h) there to watch the host calls, answer
//   faults and choose how call objects are given back.
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

// How the host gives a call object back after running it.
// Once:  Done right after Execute, before ClientAPI_Synchronize returns. What
//        the host does unless an observer says otherwise.
// Never: not at all (the object stays on the module's pending list).
// Twice: Done two times in a row after Execute.
// Later: the observer gives it back (HostObserver::GiveBackLater), once
//        ClientAPI_Synchronize has returned. The host takes no reference of
//        its own meanwhile: the module's pending list must keep the object
//        alive until Done.
enum class DoneMode { Once, Never, Twice, Later };

// What the host lets an observer see and decide. Every method is called
// while the host does the thing it names, on the thread that does it, so an
// observer is thread-safe and allocates nothing where the host promises not
// to (a hand-over, on the caller's thread). Attach one while no host call or
// hand-over is in flight.
class HostObserver {
public:
    // A host call (a Nexus method, GetNexusWorkspace or
    // IClient::LoadServerModule) about to run. method is a string literal;
    // args are the ones a call log shows. S_OK lets the call run; any other
    // status is what it answers instead.
    virtual HRESULT OnHostCall(const char* method, std::initializer_list<uint64_t> args, bool onMainThread) = 0;
    // A hand-over (ClientAPI_Synchronize), on the caller's thread, before the
    // host takes it: how to give the call object back. Asked for refused
    // hand-overs too.
    virtual DoneMode OnHandOver(void* call) = 0;
    // The call object ran (status is what Execute answered); the host gives
    // it back as mode says right after this returns.
    virtual void OnExecuted(void* call, HRESULT status, DoneMode mode) = 0;
    // DoneMode::Later: ClientAPI_Synchronize returns now; the observer gives
    // the object its Done.
    virtual void GiveBackLater(void* call) = 0;
    // ClientAPI_RemoveSynchronize: the module withdrew a call object.
    virtual void OnRemoveSynchronize(void* call) = 0;
    // Something a real host would fail or hang on (already written to
    // stderr): a read or write over a memory space's transfer limit, a
    // hand-over with no main thread serving.
    virtual void OnContractViolation(const std::string& what) = 0;

protected:
    ~HostObserver() = default;
};

class Host {
public:
    static Host& Instance();

    // Back to a fresh host: no components, default options. Does not touch
    // the flow library once loaded, nor the observer.
    void Reset();

    // The observer; null: none (the tools). Returns the one it replaces.
    HostObserver* SetObserver(HostObserver* observer);
    HostObserver* Observer() const { return observer_.load(std::memory_order_acquire); }

    // Workspace content.
    void AddProcessor(const std::string& designator, std::shared_ptr<ProcessorCore> core);
    void AddComponentWithoutProcessor(const std::string& designator);
    // The component's core; null for unknown designators.
    std::shared_ptr<ProcessorCore> Core(const std::string& designator) const;
    // null when none, or when the component has no processor.
    bool FindComponent(const std::string& designator, std::shared_ptr<ProcessorCore>& core) const;

    // Every host call: checks the thread and asks the observer. S_OK when
    // the call may go on.
    HRESULT EnterHostCall(const char* method, std::initializer_list<uint64_t> args = {});
    // Writes it to stderr and tells the observer.
    void RecordContractViolation(const std::string& what);

    // Options of the host executable and client.
    bool clientLoadsFlowLibrary = true;
    std::string flowLibraryDirectory;  // where LoadServerModule looks; empty: the search path

    // The name the client was last asked to load.
    std::u16string lastServerModuleName() const;

    // Main thread. The calling thread becomes the host's main thread and
    // serves hand-overs until frontEnd, run on a thread of its own, returns.
    // Hand-overs from any other thread are refused as contract violations
    // unless a main thread is serving.
    void RunFrontEnd(const std::function<void()>& frontEnd);
    uint32_t MainThreadId() const { return mainThreadId_; }
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
    Host() = default;
    void RunCall(void* call, DoneMode mode);

    struct Component {
        std::shared_ptr<ProcessorCore> core;
    };
    mutable std::mutex lock_;
    std::map<std::string, Component> components_;
    std::u16string lastServerModuleName_;
    std::atomic<HostObserver*> observer_{nullptr};
    std::atomic<uint32_t> mainThreadId_{0};

    // Hand-over queue. The main thread waits on queueChanged_ for work (or
    // the end of the front-end), each caller on jobDone_ for its own job.
    // A hand-over allocates nothing on the caller's thread (the jobs are the
    // callers' own, linked in place): a test that makes the module's
    // allocations fail on that thread never makes the host's fail.
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
};

// Raw access to the module's call objects as the host sees them.
HRESULT CallExecute(void* call);
HRESULT CallDone(void* call);
uint32_t CallAddRef(void* call);
uint32_t CallRelease(void* call);

// Creates the workspace object handed out by the flow library.
SimObject* NewWorkspace();

}  // namespace sim
