#include "tools/common/RunController.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace frontend {

namespace {

std::atomic<RunController*> g_active{nullptr};

// The target's memory as the semihosting calls see it.
class TargetMemory final : public semihosting::Memory {
public:
    explicit TargetMemory(Target& target) : target_(target) {}
    bool Read(uint32_t address, uint8_t* bytes, uint32_t count) override {
        const std::vector<uint8_t> read = target_.ReadMemory(address, count);
        if (read.size() != count) return false;
        std::copy(read.begin(), read.end(), bytes);
        return true;
    }
    bool Write(uint32_t address, const uint8_t* bytes, uint32_t count) override {
        return target_.WriteMemory(address, bytes, count);
    }

private:
    Target& target_;
};

}  // namespace

RunController::RunController(Target& target) : RunController(target, Options()) {}

RunController::RunController(Target& target, Options options) : target_(target), options_(std::move(options)) {
    g_active.store(this);
}

RunController::~RunController() {
    // Never left pointing at a controller that is gone; the next one made or
    // run takes the place.
    RunController* self = this;
    g_active.compare_exchange_strong(self, nullptr);
}

RunController* RunController::Active() noexcept { return g_active.load(); }

void DI_CDECL RunController::PollCallback() {
    if (RunController* controller = g_active.load()) controller->OnPoll();
}

void RunController::OnPoll() {
    if (running_ && kind_ == Kind::Release) {
        if (!cancelled_) target_.Cancel();
        cancelled_ = true;
        return;
    }
    // The hook runs at every poll, also of a wait the controller did not
    // start (a caller's own call of the module).
    if (options_.onPoll) options_.onPoll();
    if (!running_ || cancelled_) return;
    if (options_.timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline_) timedOut_ = true;
    if (timedOut_ || Requested() || (options_.targetFailure && !options_.targetFailure().empty())) {
        cancelled_ = true;
        target_.Cancel();
    }
}

bool RunController::StopRequested() {
    if (options_.onPoll) options_.onPoll();
    return Requested();
}

std::optional<int> RunController::ReadInputChar() {
    for (;;) {
        if (StopRequested()) return std::nullopt;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, 50);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) continue;
        unsigned char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        return n == 1 ? int(c) : -1;
    }
}

RunEnd RunController::TakeEnd() {
    if (terminate_) return RunEnd::Terminated;
    if (abandon_.exchange(false)) {
        interrupt_ = false;
        return RunEnd::Abandoned;
    }
    if (interrupt_.exchange(false)) return RunEnd::Interrupted;
    if (timedOut_) return RunEnd::TimedOut;
    return RunEnd::Interrupted;  // cancelled by the module's own wait ending
}

RunResult RunController::TakeRequest() {
    RunResult result;
    result.end = TakeEnd();
    result.status = target_.Status();
    return result;
}

RunResult RunController::Lost(RunResult result) {
    if (options_.targetFailure) {
        std::string why = options_.targetFailure();
        if (!why.empty()) {
            result.end = RunEnd::TargetLost;
            result.detail = std::move(why);
        }
    }
    return result;
}

RunResult RunController::Once(Kind kind, uint32_t count) {
    g_active.store(this);
    if (terminate_ && kind != Kind::Release) {
        // The tool is ending: no new run starts.
        RunResult result;
        result.end = RunEnd::Terminated;
        result.status = target_.Status();
        return result;
    }
    kind_ = kind;
    running_ = true;
    cancelled_ = false;
    timedOut_ = false;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       std::chrono::duration<double>(options_.timeoutSeconds));
    const RunOutcome outcome = kind == Kind::Step ? target_.Step(count) : target_.Continue();
    running_ = false;

    RunResult result;
    if (kind == Kind::Release) {
        result.end = outcome == RunOutcome::Failed && !cancelled_ ? RunEnd::Failed : RunEnd::Stopped;
        return result;
    }
    if (outcome == RunOutcome::Cancelled || (outcome == RunOutcome::Failed && cancelled_)) {
        // The wait ended; the core runs until it is halted.
        result.end = TakeEnd();
        const bool halted = target_.Stop();
        if (!halted) {
            result.end = RunEnd::Failed;
            result.detail = "the processor could not be halted";
            return Lost(std::move(result));
        }
        result.status = target_.Status();
        return Lost(std::move(result));
    }
    // A run that ended by itself consumes an interrupt that came meanwhile:
    // it was meant for this run.
    interrupt_ = false;
    abandon_ = false;
    if (outcome == RunOutcome::Stopped) {
        // A step's stop needs no status to tell what it was (and a watched
        // run makes thousands of them); a continue's says why it stopped.
        result.end = RunEnd::Stopped;
        if (kind != Kind::Step) result.status = target_.Status();
        return result;
    }
    result.status = target_.Status();
    // The step (or a continue's first step) did not execute its instruction:
    // the core stopped on a fault where it is, or the module failed.
    if (result.status && result.status->cause != kCauseRunning && result.status->cause != kCauseUnknown) {
        result.end = RunEnd::Faulted;
        return Lost(std::move(result));
    }
    result.end = RunEnd::Failed;
    result.detail = kind == Kind::Step ? "the step failed" : "the continue failed";
    return Lost(std::move(result));
}

bool RunController::AtCall(uint32_t pc) {
    const std::vector<uint8_t> code = target_.ReadMemory(pc, 2);
    return code.size() == 2 && (code[0] | code[1] << 8) == semihosting::kTrapInstruction;
}

std::optional<RunResult> RunController::CarryOutCall(uint32_t pc) {
    if (!SemihostingOn() || !target_.Board().arch.semihosting || !AtCall(pc)) return std::nullopt;
    RunResult result;
    result.call = true;
    const auto operation = target_.ReadRegister(0), parameter = target_.ReadRegister(1);
    if (!operation || !parameter) {
        result.detail = "the semihosting call's registers cannot be read";
        return Lost(std::move(result));
    }
    TargetMemory memory(target_);
    const semihosting::Outcome outcome = options_.semihosting->Execute(*operation, *parameter, memory, *options_.console);
    switch (outcome.kind) {
        case semihosting::Outcome::Resume:
            target_.WriteRegister(0, outcome.result);
            target_.WriteRegister(target_.PcId(), pc + 2);
            result.end = RunEnd::Stopped;
            return result;
        case semihosting::Outcome::Interrupted:
            // Ctrl-C or 0x03 while the call waited for input: the core is
            // halted on the call, which is not carried out.
            result.end = TakeEnd();
            return result;
        case semihosting::Outcome::Exit:
            result.end = RunEnd::Exited;
            result.exit = outcome;
            result.exitOperation = *operation;
            return result;
    }
    return result;
}

std::optional<RunResult> RunController::CallAtPc(std::optional<uint32_t>& pc) {
    pc = target_.ReadRegister(target_.PcId());
    if (!pc) {
        RunResult failed;
        failed.detail = "the pc cannot be read";
        return Lost(std::move(failed));
    }
    return CarryOutCall(*pc);
}

RunResult RunController::Continue() {
    if (!SemihostingOn() || !target_.Board().arch.semihosting) return Once(Kind::Continue, 0);
    // Set once the core has run and stopped by itself (not at a breakpoint):
    // on anything but a call, that is a fault.
    std::optional<RunResult> stopped;
    for (;;) {
        // A call under the PC is carried out here: the module's continue
        // would fail to step off a bkpt.
        std::optional<uint32_t> pc;
        if (auto call = CallAtPc(pc)) {
            if (call->end != RunEnd::Stopped) return *call;
            call->call = false;
            // The module's continue steps off the PC with any breakpoint
            // there lifted: one right after the call stops here.
            if (target_.HasBreakpointAt(*pc + 2)) {
                call->breakpointAfterCall = true;
                return *call;
            }
            if (StopRequested()) return TakeRequest();
            stopped.reset();
            continue;
        }
        if (stopped) return *stopped;
        RunResult result = Once(Kind::Continue, 0);
        if (result.end != RunEnd::Stopped || result.AtBreakpoint()) return result;
        stopped = std::move(result);
    }
}

RunResult RunController::Step(uint32_t count) {
    if (SemihostingOn() && target_.Board().arch.semihosting) {
        // A call under the PC is carried out in place of its instruction.
        std::optional<uint32_t> pc;
        if (auto call = CallAtPc(pc)) {
            if (call->end != RunEnd::Stopped || count <= 1) return *call;
            --count;
        }
    }
    return Once(Kind::Step, count);
}

bool RunController::Release() { return Once(Kind::Release, 0).end != RunEnd::Failed; }

}  // namespace frontend
