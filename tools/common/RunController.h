// One run of the target, and every way to end it: the one place where
// orxdbg and its GDB server continue, step and stop a core.
//
// A run is a continue or a step of N instructions through the module's
// exports; the call blocks the calling thread while the module polls the
// core, and the controller is the module's poll callback. At every poll it
// runs the tool's own hook (the server reads its socket there), then looks at
// the requests that end a run:
//
//   request       from                                  ends          after the run
//   ------------  ------------------------------------  ------------  ----------------------------
//   Interrupt     Ctrl-C, gdb's 0x03                    this run      consumed
//   Abandon       the client gone                       this run      consumed
//   Terminate     SIGTERM, SIGINT of the server         every run     kept: the tool is ending
//   the deadline  --timeout                             this run      a new one for the next run
//   engine lost   the host's diagnostics say why        this run      the tool reports it
//
// On any of them it cancels the module's wait (DiGdiCancel) and, once the
// call has returned, halts the core (DiExecStop). A request that came while
// no run was going is left for the next run's caller to take
// (TakeInterrupt), never to a run after that: each run ends by consuming its
// interrupt or abandon.
//
// With semihosting on (ARM), a continue carries out every call the program
// makes (bkpt 0xab) and runs on; a step carries out a call under the PC in
// place of its instruction.
//
// One controller is active at a time (the one whose run is going, or the
// last one made); its requests are async-signal-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tools/common/DiModule.h"
#include "tools/common/Semihosting.h"
#include "tools/common/Target.h"

namespace frontend {

enum class RunEnd {
    Stopped,      // by itself: at a breakpoint, the steps done, or where it cannot go on
    Faulted,      // the step (a continue's first one included) did not execute: a fault where it is
    Interrupted,  // Ctrl-C or gdb's 0x03; the core is halted
    Abandoned,    // the client went away; the core is halted
    Terminated,   // the tool is ending; the core is halted
    TimedOut,     // the deadline passed; the core is halted
    Exited,       // the program ended through semihosting; the core is halted on the call
    TargetLost,   // the engine behind the core died or hung: detail says why
    Failed,       // the module refused the run or a read after it
};

struct RunResult {
    RunEnd end = RunEnd::Failed;
    // The module's stop status after the run, when it could be read; not
    // read after a step that stopped by itself.
    std::optional<TargetStatus> status;
    // Stopped at a breakpoint right after a semihosting call (the module's
    // status still tells the stop before the call).
    bool breakpointAfterCall = false;
    // The run ended on a semihosting call: a step that carried one out
    // (Stopped), or a call interrupted while it waited for input.
    bool call = false;
    // Exited: the call's outcome and operation.
    semihosting::Outcome exit{};
    uint32_t exitOperation = 0;
    // TargetLost, Failed: why.
    std::string detail;

    bool AtBreakpoint() const {
        return breakpointAfterCall || (end == RunEnd::Stopped && status && status->cause == kCauseBreakpoint);
    }
};

class RunController {
public:
    struct Options {
        // Runs longer than this are cancelled and the core halted (0: no limit).
        double timeoutSeconds = 0;
        // At every poll of a run, before the requests are looked at.
        std::function<void()> onPoll;
        // Why the engine behind the core is gone; empty while it is fine.
        std::function<std::string()> targetFailure;
        // Semihosting (both set: on). The console's ReadChar should give up
        // when StopRequested() says so.
        semihosting::Executor* semihosting = nullptr;
        semihosting::Console* console = nullptr;
    };

    explicit RunController(Target& target);
    RunController(Target& target, Options options);
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    Options& options() { return options_; }
    bool SemihostingOn() const { return options_.semihosting && options_.console; }

    // The poll callback to hand the module's DiGdiOpen.
    static void DI_CDECL PollCallback();

    RunResult Continue();
    RunResult Step(uint32_t count = 1);
    // A continue that the first poll gives up: the core runs on, nobody
    // waiting (a detach). False when the module refused to start it.
    bool Release();

    // ---- Requests: async-signal-safe, from any thread.
    void Interrupt() noexcept { interrupt_ = true; }
    void Abandon() noexcept { abandon_ = true; }
    void Terminate() noexcept { terminate_ = true; }
    bool Terminating() const noexcept { return terminate_; }
    // An interrupt asked for while no run was going; taking it clears it.
    bool TakeInterrupt() noexcept { return interrupt_.exchange(false); }

    // Runs the poll hook, then tells whether a run would end now; for the
    // callers' own loops between runs and their waits for console input.
    bool StopRequested();
    // The same without the hook.
    bool Requested() const noexcept { return interrupt_ || abandon_ || terminate_; }
    // One character of the tool's standard input for a program's console:
    // -1 at its end or on an error; none when a request ends the wait
    // (looked at every 50 ms).
    std::optional<int> ReadInputChar();
    // Between runs, when StopRequested said yes: how the run ends (the
    // request consumed), with the core's status.
    RunResult TakeRequest();

    // The controller of the current run, else the one made last (for signal
    // handlers); null when there is none.
    static RunController* Active() noexcept;

private:
    enum class Kind { Continue, Step, Release };
    // One module call with every request watched; halts the core when one
    // ended it.
    RunResult Once(Kind kind, uint32_t count);
    // The request that cancelled the run, and consumes it.
    RunEnd TakeEnd();
    void OnPoll();
    // A semihosting call under the PC, carried out: nothing when none is
    // there, else how the run goes on (Stopped with the PC past the call for
    // a resume).
    std::optional<RunResult> CarryOutCall(uint32_t pc);
    bool AtCall(uint32_t pc);
    // Reads the PC into pc and carries out a call under it in place of what
    // the run would do there; nothing when there is none. A PC that cannot
    // be read ends the run (Failed, or TargetLost).
    std::optional<RunResult> CallAtPc(std::optional<uint32_t>& pc);
    RunResult Lost(RunResult result);

    Target& target_;
    Options options_;
    Kind kind_ = Kind::Continue;
    bool running_ = false;
    bool cancelled_ = false;
    bool timedOut_ = false;
    std::chrono::steady_clock::time_point deadline_{};
    std::atomic<bool> interrupt_{false};
    std::atomic<bool> abandon_{false};
    std::atomic<bool> terminate_{false};
};

}  // namespace frontend
