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
//   RunFrontEnd (or Pump).
// - An IClient whose LoadServerModule("Weavemill") loads the flow library.
// - The flow library's workspace, components and processors (SimNexus),
//   with processors plugged in as ProcessorCore objects.
// - For tests: fault injection, a call log, reference accounting and a check
//   that every Nexus method runs on the main thread.
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
#include <string>
#include <string_view>
#include <vector>

#include "sim/ProcessorCore.h"
#include "sim/SimCom.h"

namespace sim {

struct LoggedCall {
    std::string method;  // "INexusProcessor::StepProcessor"
    std::vector<uint64_t> args;
};

// Every Nexus call, in order. Adding is cheap (no allocation per call), so a
// long session or a benchmark can keep logging.
class CallLog {
public:
    // method: a string literal (the log keeps the pointer); at most
    // kMaxArgs arguments.
    static constexpr std::size_t kMaxArgs = 6;
    void Add(const char* method, std::initializer_list<uint64_t> args);
    void Clear();
    std::vector<LoggedCall> Calls() const;
    std::size_t Count(const std::string& method) const;
    // The arguments of the last call of a method; empty when there was none.
    std::vector<uint64_t> LastArgs(const std::string& method) const;
    std::vector<std::string> Methods() const;

private:
    struct Entry {
        const char* method;
        std::size_t argCount;
        std::array<uint64_t, kMaxArgs> args;
    };
    static LoggedCall ToCall(const Entry& entry);

    mutable std::mutex lock_;
    std::deque<Entry> calls_;
};

enum class DoneMode { Once, Never, Twice };

class Host {
public:
    static Host& Instance();

    // Back to a fresh host: no components, no faults, empty log, default
    // options. Does not touch the flow library once loaded.
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
    void RunFrontEnd(const std::function<void()>& frontEnd);
    uint32_t MainThreadId() const { return mainThreadId_; }
    void CheckMainThread(const char* method);
    // Runs fn with the calling thread serving as the host's main thread, as
    // the host does when it calls into a module from its own main loop.
    void RunAsMainThread(const std::function<void()>& fn);

    // Entry points (called by the exported ClientAPI_* functions).
    void Synchronize(void* call);
    void RemoveSynchronize(void* call);
    void* ClientObject();
    void LoadServerModule(const std::u16string& name);

private:
    Host();
    void RunCall(void* call);

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

    // Hand-over queue. The main thread waits on queueChanged_ for work (or
    // the end of the front-end), each caller on jobDone_ for its own job.
    std::mutex queueLock_;
    std::condition_variable queueChanged_;
    std::condition_variable jobDone_;
    struct Job {
        void* call;
        bool done = false;
    };
    std::deque<Job*> queue_;
    bool frontEndFinished_ = false;
};

// Raw access to the module's call objects as the host sees them.
HRESULT CallExecute(void* call);
HRESULT CallDone(void* call);
uint32_t CallAddRef(void* call);
uint32_t CallRelease(void* call);

// Creates the workspace object handed out by the flow library.
SimObject* NewWorkspace();

}  // namespace sim
