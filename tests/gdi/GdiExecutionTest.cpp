// Run control: continue with its first step and breakpoint check, single
// step, stop, reset, stop status, cancel and close during a wait.
//
// A run wait lasts at least one poll cycle; the tests shorten it through
// DIORX_POLL_MS, except where the period itself is tested.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gdi/GDI.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;
using sim::E_FAIL;
using State = sim::ScriptedProcessor::State;

namespace {

// The poll callback handed to the instance: counts the cycles and runs the
// test's hook on the waiting thread.
std::function<void()> g_onPoll;
std::atomic<int> g_polls{0};
void DI_CDECL PollThunk() {
    ++g_polls;
    if (g_onPoll) g_onPoll();
}

constexpr const char* NiosPath = "C:\\qdvnios\\qdvnios.exe";
constexpr const char* GetPc = "INexusProcessor::GetPcRegister";

class GdiExecution : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        g_onPoll = nullptr;
        g_polls = 0;
        cpu = AddCpu();
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
    }
    void TearDown() override {
        g_onPoll = nullptr;
        SimTest::TearDown();
    }

    // A new instance for processor "CPU" as the front-end at `path` opens it.
    std::unique_ptr<TGDI> Open(const char* path = Lx32Path) {
        auto gdi = std::make_unique<TGDI>();
        const char* argv[] = {path, "CPU"};
        gdi->Open(2, argv, PollThunk);
        return gdi;
    }

    void SetBreakpoints(const std::vector<uint64_t>& addresses) {
        for (uint64_t a : addresses) cpu->AddBreakpoint(7, a);
    }

    // Addresses of the breakpoint lookups, removals or additions in the log.
    std::vector<uint64_t> Addresses(const char* method) {
        std::vector<uint64_t> result;
        for (const auto& args : CallsOf(probe, method)) result.push_back(args.at(1));
        return result;
    }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
    ScopedPollPeriod fastPoll{FastPollMs};
};

std::set<uint64_t> AsSet(const std::vector<uint64_t>& v) { return {v.begin(), v.end()}; }

// ---- Continue --------------------------------------------------------------------

struct ContinueCase {
    const char* name;
    const char* path;
    bool alreadyRunning;
    bool cancelBefore;  // a cancel with no wait running is lost
    std::vector<uint64_t> breakpoints;
    uint32_t stopPc;
    bool pcUnreadableAfterWait;
    uint32_t result;
    std::vector<uint64_t> probes;  // breakpoint lookups after the wait, in order
    std::optional<uint32_t> pcWritten;
    uint32_t cause;
    uint32_t statusBreakpointId;
};

void PrintTo(const ContinueCase& c, std::ostream* os) { *os << c.name; }

class GdiContinue : public GdiExecution, public testing::WithParamInterface<ContinueCase> {};

TEST_P(GdiContinue, StepsOffWaitsAndChecksTheStopAddress) {
    const ContinueCase& c = GetParam();
    SetBreakpoints(c.breakpoints);
    if (c.alreadyRunning) {
        // Running through the first state query, stopped by the next.
        cpu->onContinue = {4, c.stopPc};
        cpu->Continue();
    } else {
        cpu->onContinue = {0, c.stopPc};
    }
    auto gdi = Open(c.path);

    std::vector<sim::LoggedCall> beforeWait;
    g_onPoll = [&] {
        beforeWait = probe.Log().Calls();
        probe.Log().Clear();
        if (c.pcUnreadableAfterWait) probe.InjectFault(GetPc, E_FAIL);
    };
    FrontEnd([&] {
        if (c.cancelBefore) {
            EXPECT_EQ(gdi->Cancel(), GdiOk);
        }
        EXPECT_EQ(gdi->ExecContinue(), c.result);
    });
    g_onPoll = nullptr;

    EXPECT_EQ(g_polls.load(), 1) << "the processor had stopped before the first poll";
    std::vector<std::string> before;
    for (const auto& call : beforeWait) before.push_back(call.method);
    if (c.alreadyRunning) {
        EXPECT_EQ(IndexOf(before, "INexusProcessor::StepProcessor"), -1);
        EXPECT_EQ(IndexOf(before, "INexusProcessor::Continue"), -1);
    } else {
        // The first step, with the breakpoint under the PC (0x100) lifted
        // and set again, then the run.
        const int removed = IndexOf(before, "INexusProcessor::RemoveBreakpoint");
        const int stepped = IndexOf(before, "INexusProcessor::StepProcessor");
        const int added = IndexOf(before, "INexusProcessor::AddBreakpoint");
        const int continued = IndexOf(before, "INexusProcessor::Continue");
        ASSERT_NE(stepped, -1);
        ASSERT_NE(continued, -1);
        EXPECT_LT(stepped, continued);
        if (c.breakpoints.size() && c.breakpoints[0] == 0x100) {
            EXPECT_NE(removed, -1);
            EXPECT_LT(removed, stepped);
            EXPECT_GT(added, stepped);
            EXPECT_LT(added, continued);
        }
    }

    EXPECT_EQ(Addresses("INexusProcessor::FindBreakpoint"), c.probes);
    const auto writes = CallsOf(probe, "INexusRegister::WriteValue");
    if (c.pcWritten) {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].at(1), *c.pcWritten);
    } else {
        EXPECT_TRUE(writes.empty());
    }
    EXPECT_EQ(cpu->Pc(), c.pcWritten.value_or(c.stopPc));
    EXPECT_EQ(gdi->LastExitCause(), c.cause);
    EXPECT_EQ(cpu->Breakpoints(), AsSet(c.breakpoints)) << "breakpoints are where the front-end put them";
    probe.ClearFaults();
    if (c.result != GdiOk) return;

    // The stop status reports what the check found.
    GdiExitStatus status;
    std::memset(&status, 0xAB, sizeof status);
    FrontEnd([&] { EXPECT_EQ(gdi->ExecGetStatus(&status), GdiOk); });
    EXPECT_EQ(LoadLE32(status.cause), c.cause);
    EXPECT_EQ(LoadLE32(status.breakpointId), c.statusBreakpointId);
    EXPECT_EQ(MessageOf(status), nullptr);
    if (c.cause == CauseBreakpoint) {
        // Without the PC the id is not known: the call still succeeds and
        // reports the cause, with breakpoint id 0. Only a failed state query
        // fails it.
        std::memset(&status, 0xAB, sizeof status);
        probe.InjectFault(GetPc, E_FAIL);
        FrontEnd([&] { EXPECT_EQ(gdi->ExecGetStatus(&status), GdiOk); });
        EXPECT_EQ(LoadLE32(status.cause), CauseBreakpoint);
        EXPECT_EQ(LoadLE32(status.breakpointId), 0u);
        EXPECT_EQ(MessageOf(status), nullptr);
        probe.ClearFaults();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Gdi, GdiContinue,
    testing::Values(
        ContinueCase{"OnePastABreakpointMovesThePcBack", Lx32Path, false, true, {0x100, 0x200}, 0x201, false, GdiOk,
                     {0x200}, 0x200, CauseBreakpoint, 0x200},
        ContinueCase{"OnABreakpointFoundAtThePc", NiosPath, false, false, {0x100, 0x200}, 0x200, false, GdiOk,
                     {0x1FF, 0x200}, std::nullopt, CauseBreakpoint, 0x200},
        ContinueCase{"NoBreakpointAtPcZeroProbesTheTopOfTheLowHalf", Lx32Path, false, false, {0x100}, 0, false,
                     GdiOk, {0xFFFFFFFF, 0}, std::nullopt, CauseStopped, 0},
        ContinueCase{"ArmBreakpointAtPcPlusOneWritesThePcBackUnchanged", ArmPath, false, false, {0x100, 0x201},
                     0x200, false, GdiOk, {0x201}, 0x200, CauseBreakpoint, 0x201},
        ContinueCase{"ArmProbesPcPlusOneWrappingAndIgnoresPcMinusOne", ArmPath, false, false, {0x100, 0xFFFFFFFE},
                     0xFFFFFFFF, false, GdiOk, {0, 0xFFFFFFFF}, std::nullopt, CauseStopped, 0},
        ContinueCase{"AlreadyRunningOnlyWaitsThenChecks", ArmPath, true, false, {0x200}, 0x200, false, GdiOk,
                     {0x201, 0x200}, std::nullopt, CauseBreakpoint, 0x200},
        ContinueCase{"PcUnreadableAfterTheWaitFails", Lx32Path, false, false, {}, 0x200, true, GdiFailed, {},
                     std::nullopt, CauseStopped, 0}),
    [](const testing::TestParamInfo<ContinueCase>& info) { return std::string(info.param.name); });

// Off ARM the PC stops one past the breakpoint and is moved back onto it. If
// that write fails the program would resume one instruction on: the stop is
// recorded, but the call does not report success.
TEST_F(GdiExecution, ContinueWhosePcCannotBeMovedBackFails) {
    SetBreakpoints({0x200});
    cpu->onContinue = {0, 0x201};
    auto gdi = Open(Lx32Path);
    cpu->afterContinue = [&] { probe.InjectFault("INexusRegister::WriteValue", E_FAIL); };

    FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), GdiFailed); });

    EXPECT_EQ(cpu->Pc(), 0x201u);
    EXPECT_EQ(gdi->LastExitCause(), CauseBreakpoint);
}

// After a stop, a breakpoint lookup that fails leaves unknown whether the
// processor stopped at a breakpoint and whether the PC must go back onto
// it: the stop is recorded, but the call does not report success.
TEST_F(GdiExecution, ContinueWhoseBreakpointLookupFailsFails) {
    const struct {
        const char* name;
        const char* path;
        uint64_t breakpoint;
        uint32_t stopPc;
        const char* fault;
    } cases[] = {
        {"one past a breakpoint", Lx32Path, 0x200, 0x201, "INexusProcessor::FindBreakpoint"},
        {"ARM, breakpoint at PC + 1", ArmPath, 0x201, 0x200, "INexusProcessor::FindBreakpoint"},
        // The probe one before the PC finds nothing; the one at the PC finds
        // the breakpoint but cannot read its address.
        {"on a breakpoint", Lx32Path, 0x200, 0x200, "INexusBreakpoint::GetAddress"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
        SetBreakpoints({c.breakpoint});
        cpu->onContinue = {0, c.stopPc};
        auto gdi = Open(c.path);
        cpu->afterContinue = [&] { probe.InjectFault(c.fault, E_FAIL); };

        FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), GdiFailed); });

        EXPECT_EQ(probe.Log().Count("INexusRegister::WriteValue"), 0u);
        EXPECT_EQ(cpu->Pc(), c.stopPc);
        EXPECT_EQ(gdi->LastExitCause(), uint32_t(CauseStopped)) << "the stop, not its cause, is known";
        cpu->afterContinue = nullptr;
        probe.ClearFaults();
        probe.Log().Clear();
        for (uint64_t a : cpu->Breakpoints()) cpu->RemoveBreakpoint(7, a);
    }
}

TEST_F(GdiExecution, ContinueFailuresBeforeTheWait) {
    const struct {
        const char* name;
        const char* fault;
        bool steps;
        bool continues;
        uint32_t cause;
    } cases[] = {
        {"state query fails", "INexusProcessor::IsNotStarted", false, false, CauseStopped},
        {"first step fails", "INexusProcessor::StepProcessor", true, false, CauseStopped},
        {"continue fails", "INexusProcessor::Continue", true, true, CauseSingleStep},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto gdi = Open();
        probe.InjectFault(c.fault, E_FAIL);
        FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), GdiFailed); });
        EXPECT_EQ(probe.Log().Count("INexusProcessor::StepProcessor"), c.steps ? 1u : 0u);
        EXPECT_EQ(probe.Log().Count("INexusProcessor::Continue"), c.continues ? 1u : 0u);
        EXPECT_EQ(gdi->LastExitCause(), c.cause);
        EXPECT_EQ(g_polls.load(), 0) << "no wait";
        probe.ClearFaults();
        probe.Log().Clear();
    }
}

TEST_F(GdiExecution, StateLostInTheWaitFailsTheCall) {
    // The processor may still be running: no stop is recorded, the PC is
    // neither read nor moved, and a lifted breakpoint is set again. A state
    // that is none of the three tells as little as a failed query.
    const struct {
        const char* name;
        bool singleStep;
        bool unknownState;  // else the query fails
    } cases[] = {
        {"continue, query fails", false, false},
        {"continue, unknown state", false, true},
        // The step does not halt: the host gives up after about a second and
        // the instance waits.
        {"single step that has to wait, query fails", true, false},
        {"single step that has to wait, unknown state", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
        cpu->answersAllFalse = false;
        SetBreakpoints({0x100, 0x200});
        cpu->onContinue = {0, 0x201};
        cpu->onStep = c.singleStep ? sim::ScriptedProcessor::RunBehaviour{sim::ScriptedProcessor::Never, std::nullopt}
                                   : sim::ScriptedProcessor::RunBehaviour{0, std::nullopt};
        const auto loseState = [&] {
            if (c.unknownState)
                cpu->answersAllFalse = true;
            else
                probe.InjectFault("INexusProcessor::IsNotStarted", E_FAIL);
        };
        cpu->afterContinue = loseState;  // after the continue's own state query
        if (c.singleStep) loseState();   // the step itself asks only IsHalted
        auto gdi = Open();
        g_polls = 0;

        FrontEnd([&] {
            EXPECT_EQ(c.singleStep ? gdi->ExecSingleStep(1) : gdi->ExecContinue(), GdiFailed);
            probe.ClearFaults();
            cpu->answersAllFalse = false;
        });

        // A failed query ends the wait before its first sleep; an answer,
        // even an unknown one, after it.
        EXPECT_EQ(g_polls.load(), c.unknownState ? 1 : 0);
        EXPECT_EQ(gdi->LastExitCause(), c.singleStep ? uint32_t(CauseStopped) : uint32_t(CauseSingleStep))
            << "no stop is recorded";
        EXPECT_EQ(probe.Log().Count("INexusRegister::WriteValue"), 0u);
        EXPECT_EQ(cpu->Pc(), c.singleStep ? 0x100u : 0x201u);
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{0x100, 0x200}));
        cpu->afterContinue = nullptr;
        probe.Log().Clear();
    }
}

// A processor that lets a test act while the host carries out a step, on the
// host's main thread.
class ProcessorWithStepHook : public sim::ScriptedProcessor {
public:
    std::function<void()> duringStep;
    void Step(uint32_t count) override {
        ScriptedProcessor::Step(count);
        if (duringStep) duringStep();
    }
};

TEST_F(GdiExecution, CancelArrivingDuringAStepIsNotLost) {
    auto stepping = std::make_shared<ProcessorWithStepHook>();
    stepping->SetBreakpointSpace(7);
    stepping->SetState(State::Halted);
    host.AddProcessor("CPU", stepping);  // in place of the fixture's processor
    const struct {
        const char* name;
        bool singleStep;
        uint32_t result;
    } cases[] = {
        // The step finishes; the run is not started and the call returns at
        // once instead of waiting for a processor that never stops.
        {"continue's first step", false, GdiFailed},
        // The step finishes: the step is done.
        {"single step", true, GdiOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stepping->SetState(State::Halted);
        stepping->SetPc(0x100);
        stepping->AddBreakpoint(7, 0x100);
        g_polls = 0;
        auto gdi = Open();
        stepping->duringStep = [&] { gdi->Cancel(); };
        // Should the cancel be lost, the processor (which never stops by
        // itself) is stopped after a few cycles so that the test ends.
        g_onPoll = [&] {
            if (g_polls >= 3) stepping->Pause();
        };

        FrontEnd([&] { EXPECT_EQ(c.singleStep ? gdi->ExecSingleStep(1) : gdi->ExecContinue(), c.result); });
        g_onPoll = nullptr;
        stepping->duringStep = nullptr;

        EXPECT_EQ(g_polls.load(), 0);
        EXPECT_EQ(probe.Log().Count("INexusProcessor::Continue"), 0u);
        EXPECT_EQ(stepping->state(), State::Halted);
        EXPECT_EQ(stepping->Pc(), 0x104u) << "the step itself was carried out";
        EXPECT_EQ(gdi->LastExitCause(), uint32_t(CauseSingleStep));
        EXPECT_EQ(stepping->Breakpoints(), std::set<uint64_t>{0x100});
        EXPECT_TRUE(gdi->CancelRequested()) << "stays set until the next call";
        probe.Log().Clear();
    }

    // A cancel that arrives while no call runs is dropped by the next call.
    stepping->SetPc(0x100);
    stepping->onContinue = {2, 0x300};
    auto gdi = Open();
    EXPECT_EQ(gdi->Cancel(), GdiOk);
    FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), GdiOk); });
    EXPECT_EQ(stepping->Pc(), 0x300u);
    EXPECT_FALSE(gdi->CancelRequested());
}

// Starts `action` on another thread at the first poll cycle and waits there
// until it has returned, so that it completes inside the wait.
void RunOnceFromAnotherThreadAtFirstPoll(std::function<void()> action) {
    g_onPoll = [action = std::move(action), done = false]() mutable {
        if (done) return;
        done = true;
        std::thread(action).join();
    };
}

TEST_F(GdiExecution, CancelFromAnotherThreadEndsTheWaitAndLeavesTheProcessorRunning) {
    SetBreakpoints({0x100});
    auto gdi = Open();  // processor never stops by itself
    RunOnceFromAnotherThreadAtFirstPoll([&] { EXPECT_EQ(gdi->Cancel(), GdiOk); });

    FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), GdiFailed); });

    EXPECT_EQ(cpu->state(), State::Running);
    EXPECT_EQ(probe.Log().Count("INexusProcessor::Pause"), 0u);
    EXPECT_EQ(gdi->LastExitCause(), uint32_t(CauseSingleStep)) << "from the first step; no stop was recorded";
    EXPECT_TRUE(gdi->CancelRequested()) << "stays set until the next call";
    EXPECT_EQ(cpu->Breakpoints(), std::set<uint64_t>{0x100});
}

// A cancel or close that arrives in the cycle in which the processor stops
// does not lose the stop: the PC goes back onto the breakpoint and the cause
// is recorded. Otherwise the next run would resume one instruction past the
// breakpoint. The cancelled call succeeds; the closed one fails, its instance
// being gone for the front-end.
TEST_F(GdiExecution, CancelOrCloseInTheCycleOfTheStopKeepsTheStop) {
    const struct {
        const char* name;
        bool stoppedBeforeTheQuery;  // else it stops during the cycle's sleep
        bool close;
    } cases[] = {
        {"cancel, stopped before the cycle's state query", true, false},
        {"cancel, stopped during the cycle's sleep", false, false},
        {"close, stopped during the cycle's sleep", false, true},
        {"close, stopped before the cycle's state query", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
        SetBreakpoints({0x200});
        cpu->onContinue = c.stoppedBeforeTheQuery
                              ? sim::ScriptedProcessor::RunBehaviour{0, 0x201}
                              : sim::ScriptedProcessor::RunBehaviour{sim::ScriptedProcessor::Never, std::nullopt};
        auto gdi = Open();
        g_polls = 0;
        RunOnceFromAnotherThreadAtFirstPoll([&] {
            if (!c.stoppedBeforeTheQuery) {
                cpu->Pause();
                cpu->SetPc(0x201);
            }
            EXPECT_EQ(c.close ? gdi->Close() : gdi->Cancel(), GdiOk);
        });

        FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), c.close ? GdiFailed : GdiOk); });
        g_onPoll = nullptr;

        EXPECT_EQ(g_polls.load(), 1);
        EXPECT_EQ(cpu->state(), State::Halted);
        EXPECT_EQ(cpu->Pc(), 0x200u) << "moved back onto the breakpoint";
        EXPECT_EQ(gdi->LastExitCause(), uint32_t(CauseBreakpoint));
        EXPECT_EQ(cpu->Breakpoints(), std::set<uint64_t>{0x200});
        probe.Log().Clear();
    }
}

// ---- Poll period --------------------------------------------------------------------

std::atomic<int> g_defaultPolls{0};
std::atomic<int> g_shortPolls{0};
std::function<void()> g_onDefaultPoll;
void DI_CDECL DefaultPoll() {
    ++g_defaultPolls;
    if (g_onDefaultPoll) g_onDefaultPoll();
}
void DI_CDECL ShortPoll() { ++g_shortPolls; }

TEST_F(GdiExecution, ShortPollPeriodPollsManyTimesWithinOneDefaultPeriod) {
    // Two waits side by side on processors that never stop: one instance
    // opened without DIORX_POLL_MS, one with 10 ms. When the first has
    // slept its one period, it ends both waits.
    auto other = AddCpu("OTHER");
    cpu->Continue();
    other->Continue();
    const char* defaultArgv[] = {Lx32Path, "CPU"};
    const char* shortArgv[] = {Lx32Path, "OTHER"};
    TGDI withDefault, withShort;
    {
        ScopedPollPeriod unset(nullptr);
        ASSERT_EQ(withDefault.Open(2, defaultArgv, DefaultPoll), GdiOk);
    }
    {
        ScopedPollPeriod shortPeriod("10");
        ASSERT_EQ(withShort.Open(2, shortArgv, ShortPoll), GdiOk);
    }
    g_defaultPolls = 0;
    g_shortPolls = 0;
    int shortPollsWithinOnePeriod = -1;
    uint32_t waitStarted = 0, firstPoll = 0;
    g_onDefaultPoll = [&] {
        firstPoll = platform::TickCount();
        shortPollsWithinOnePeriod = g_shortPolls.load();
        withDefault.Cancel();
        withShort.Cancel();
    };

    FrontEnd([&] {
        std::atomic<uint32_t> shortResult{0};
        std::atomic<bool> shortReturned{false};
        std::thread shortWait([&] {
            shortResult = withShort.ExecContinue();
            shortReturned = true;
        });
        // Until the short wait polls; a wait that returns without polling, or
        // never polls, fails here rather than blocking the suite.
        for (int waited = 0; g_shortPolls.load() == 0 && !shortReturned && waited < 10000; ++waited)
            platform::SleepMs(1);
        if (g_shortPolls.load() == 0) {
            ADD_FAILURE() << "the short wait never polled";
            withShort.Cancel();
            shortWait.join();
            return;
        }
        waitStarted = platform::TickCount();
        EXPECT_EQ(withDefault.ExecContinue(), GdiFailed);
        shortWait.join();
        EXPECT_EQ(shortResult.load(), GdiFailed);
    });
    g_onDefaultPoll = nullptr;

    EXPECT_EQ(g_defaultPolls.load(), 1);
    // A clock that is read late can only shorten the measured span; it has
    // a resolution of up to 16 ms.
    EXPECT_GE(firstPoll - waitStarted, PollPeriodMs - 16) << "the default period is 500 ms";
    EXPECT_GE(shortPollsWithinOnePeriod, 5) << "about 50 are due with a 10 ms period";
    EXPECT_EQ(cpu->state(), State::Running);
    EXPECT_EQ(other->state(), State::Running);
}

// ---- Adaptive wait ----------------------------------------------------------------

// Sets an environment variable for the instances opened while it lives (null:
// unset) and puts back what was there before.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name), saved_(platform::EnvironmentValue(name)) {
        platform::SetEnvironmentValue(name, value);
    }
    ~ScopedVariable() { platform::SetEnvironmentValue(name_, saved_ ? saved_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// The poll sleep of the instances under test: it records each length and
// sleeps on the instance's own sleeper. A sleep of g_sleepForeverAt
// microseconds lasts until a wake ends it, or 10 s at most: a cancel or
// close that does not wake the sleep shows as a wait that went on, and a
// wake that is lost altogether still ends the test within seconds.
std::vector<uint32_t> g_sleeps;  // written by the waiting thread only
constexpr uint32_t NoSleepForever = 0xFFFFFFFFu;
std::atomic<uint32_t> g_sleepForeverAt{NoSleepForever};
std::atomic<platform::SleeperHandle> g_sleepingOn{nullptr};
bool RecordingSleep(platform::SleeperHandle sleeper, uint32_t microseconds) {
    g_sleeps.push_back(microseconds);
    if (microseconds != g_sleepForeverAt) return platform::SleepMicroseconds(sleeper, microseconds);
    g_sleepingOn = sleeper;
    const bool woken = platform::SleepMicroseconds(sleeper, 4u * 1000u * 1000u);
    g_sleepingOn = nullptr;
    return woken;
}

class GdiAdaptiveWait : public GdiExecution {
protected:
    void SetUp() override {
        GdiExecution::SetUp();
        g_sleeps.clear();
        g_sleepForeverAt = NoSleepForever;
        // The module finds the host's flow library once per process: let that
        // happen here, so that both runs of a comparison start alike.
        auto gdi = Open();
        GdiExitStatus status;
        FrontEnd([&] { ASSERT_EQ(gdi->ExecGetStatus(&status), GdiOk); });
    }
    // An instance as the tools open it: DIORX_POLL_MS=1 is the ceiling of
    // the adaptive wait, or the fixed period.
    std::unique_ptr<TGDI> OpenInMode(bool adaptive) {
        ScopedPollPeriod ceiling("1");
        ScopedVariable mode(AdaptivePollVariable, adaptive ? "1" : nullptr);
        auto gdi = Open();
        gdi->SetPollSleepForTests(&RecordingSleep);
        return gdi;
    }
};

// What one run of a scenario did: the host's calls, with the number of them
// made before each poll callback, and the results.
struct WaitRecord {
    std::vector<sim::LoggedCall> calls;
    std::vector<std::size_t> callbacksAfter;
    std::vector<uint32_t> results;
    std::vector<uint32_t> sleeps;
};

struct AdaptiveCase {
    const char* name;
    std::function<void(sim::ScriptedProcessor&)> prepare;
    int continues;
    int cancelAtPoll;  // 0: none
    std::vector<uint32_t> adaptiveSleeps;
};

TEST_F(GdiAdaptiveWait, SameCallsAndCallbacksAsTheFixedPeriodOnlyShorterSleepsDoublingToTheCeiling) {
    // A poll that finds the processor running asks it twice (not started?
    // running?): a run that ends at query 2k is seen stopped at poll k.
    const AdaptiveCase cases[] = {
        // The sleep after the poll that finds the processor stopped lasts
        // nothing.
        {"a run seen stopped at the ninth poll", [](sim::ScriptedProcessor& p) { p.onContinue = {18, 0x200}; }, 1,
         0, {20, 40, 80, 160, 320, 640, 1000, 1000, 0}},
        {"a run that ends at once", [](sim::ScriptedProcessor& p) { p.onContinue = {0, 0x200}; }, 1, 0, {0}},
        {"a processor already running",
         [](sim::ScriptedProcessor& p) {
             p.onContinue = {8, 0x200};
             p.Continue();
         },
         1, 0, {20, 40, 0}},
        {"every wait starts short", [](sim::ScriptedProcessor& p) { p.onContinue = {6, 0x200}; }, 2, 0,
         {20, 40, 0, 20, 40, 0}},
        {"a cancel at the fourth poll", nullptr, 1, 4, {20, 40, 80, 160}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WaitRecord runs[2];
        for (const bool adaptive : {false, true}) {
            SCOPED_TRACE(adaptive ? "adaptive" : "fixed");
            cpu->SetState(State::Halted);
            cpu->SetPc(0x100);
            cpu->onContinue = {sim::ScriptedProcessor::Never, std::nullopt};
            if (c.prepare) c.prepare(*cpu);
            auto gdi = OpenInMode(adaptive);
            WaitRecord& run = runs[adaptive];
            g_polls = 0;
            g_sleeps.clear();
            probe.Log().Clear();
            g_onPoll = [&] {
                run.callbacksAfter.push_back(probe.Log().Calls().size());
                if (g_polls == c.cancelAtPoll) gdi->Cancel();
            };
            FrontEnd([&] {
                for (int i = 0; i < c.continues; ++i) run.results.push_back(gdi->ExecContinue());
            });
            g_onPoll = nullptr;
            run.calls = probe.Log().Calls();
            run.sleeps = g_sleeps;
            cpu->Pause();
        }
        const WaitRecord& fixed = runs[0];
        const WaitRecord& adaptive = runs[1];
        ASSERT_EQ(adaptive.calls.size(), fixed.calls.size());
        for (std::size_t i = 0; i < fixed.calls.size(); ++i) {
            EXPECT_EQ(adaptive.calls[i].method, fixed.calls[i].method) << "call " << i;
            EXPECT_EQ(adaptive.calls[i].args, fixed.calls[i].args) << "call " << i;
        }
        EXPECT_EQ(adaptive.callbacksAfter, fixed.callbacksAfter);
        EXPECT_EQ(adaptive.results, fixed.results);
        EXPECT_EQ(fixed.sleeps, std::vector<uint32_t>(c.adaptiveSleeps.size(), 1000)) << "the period, every time";
        EXPECT_EQ(adaptive.sleeps, c.adaptiveSleeps);
    }
}

TEST_F(GdiAdaptiveWait, CancelOrCloseFromAnotherThreadWakesTheSleepAtOnce) {
    // The processor never stops, and the sleep at the ceiling never ends by
    // itself: only the wake ends the wait. Should it be lost, a watchdog
    // wakes the sleep after 20 s and the test fails.
    const struct {
        const char* name;
        bool adaptive;
        bool close;
    } cases[] = {
        {"cancel, adaptive", true, false},
        {"close, adaptive", true, true},
        {"cancel, fixed period", false, false},
        {"close, fixed period", false, true},
    };
    g_sleepForeverAt = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
        auto gdi = OpenInMode(c.adaptive);
        std::atomic<bool> returned{false};
        bool lost = false;
        std::thread ender([&] {
            for (int i = 0; i < 5000 && !g_sleepingOn.load(); ++i) platform::SleepMs(1);
            if (c.close)
                gdi->Close();
            else
                gdi->Cancel();
            // A wake ends the sleep at once; two seconds is far beyond that.
            for (int i = 0; i < 2000 && !returned; ++i) platform::SleepMs(1);
            if (!returned) {
                lost = true;
                platform::WakeSleeper(g_sleepingOn.load());
            }
        });
        FrontEnd([&] { EXPECT_EQ(gdi->ExecContinue(), GdiFailed); });
        returned = true;
        ender.join();
        EXPECT_FALSE(lost) << "the sleep went on after the " << (c.close ? "close" : "cancel");
        EXPECT_EQ(g_sleeps.back(), 1000u) << "ended in the sleep at the ceiling";
        EXPECT_EQ(cpu->state(), State::Running);
        cpu->Pause();
        g_sleeps.clear();
        if (lost) break;  // the wake is broken: the other cases would only repeat it
    }
}

// ---- Single step ------------------------------------------------------------------

struct StepCase {
    const char* name;
    const char* path;
    std::vector<uint64_t> breakpoints;
    const char* fault;
    uint32_t result;
    std::vector<uint64_t> lifted;  // removed before the step and set again after it
    uint32_t cause;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class GdiSingleStep : public GdiExecution, public testing::WithParamInterface<StepCase> {};

TEST_P(GdiSingleStep, LiftsOnlyTheBreakpointAtThePcAndAlwaysSetsItAgain) {
    const StepCase& c = GetParam();
    SetBreakpoints(c.breakpoints);
    auto gdi = Open(c.path);
    if (c.fault) probe.InjectFault(c.fault, E_FAIL);

    FrontEnd([&] { EXPECT_EQ(gdi->ExecSingleStep(3), c.result); });

    EXPECT_EQ(Addresses("INexusProcessor::RemoveBreakpoint"), c.lifted);
    EXPECT_EQ(Addresses("INexusProcessor::AddBreakpoint"), c.lifted);
    const auto methods = probe.Log().Methods();
    const int stepped = IndexOf(methods, "INexusProcessor::StepProcessor");
    if (!c.lifted.empty()) {
        ASSERT_NE(stepped, -1);
        EXPECT_LT(IndexOf(methods, "INexusProcessor::RemoveBreakpoint"), stepped);
        EXPECT_GT(IndexOf(methods, "INexusProcessor::AddBreakpoint"), stepped);
    }
    if (c.result == GdiOk) {
        EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::StepProcessor"), std::vector<uint64_t>{3});
        EXPECT_EQ(cpu->Pc(), 0x100u + 3 * 4);
    }
    EXPECT_EQ(gdi->LastExitCause(), c.cause);
    EXPECT_EQ(cpu->Breakpoints(), AsSet(c.breakpoints));
    EXPECT_EQ(g_polls.load(), 0) << "the step finished at once: no wait";
}

INSTANTIATE_TEST_SUITE_P(
    Gdi, GdiSingleStep,
    testing::Values(StepCase{"BreakpointAtThePc", Lx32Path, {0x100, 0x104}, nullptr, GdiOk, {0x100}, CauseSingleStep},
                    StepCase{"ArmBreakpointAtThePc", ArmPath, {0x100, 0x101}, nullptr, GdiOk, {0x100},
                             CauseSingleStep},
                    StepCase{"ArmKeepsTheBreakpointAtPcPlusOne", ArmPath, {0x101}, nullptr, GdiOk, {},
                             CauseSingleStep},
                    StepCase{"FailedStepSetsTheBreakpointAgain", Lx32Path, {0x100}, "INexusProcessor::StepProcessor",
                             GdiFailed, {0x100}, CauseStopped},
                    StepCase{"UnreadablePcStepsNothing", Lx32Path, {0x100}, GetPc, GdiFailed, {}, CauseStopped}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

// The step happened, but the host refused to set the lifted breakpoint
// again: the front-end must not be told the step worked while its breakpoint
// is gone from the target.
TEST_F(GdiExecution, SingleStepWhoseBreakpointCannotBeSetAgainFails) {
    SetBreakpoints({0x100});
    auto gdi = Open();
    probe.InjectFault("INexusProcessor::AddBreakpoint", E_FAIL);

    FrontEnd([&] { EXPECT_EQ(gdi->ExecSingleStep(1), GdiFailed); });

    EXPECT_EQ(cpu->Pc(), 0x104u) << "the step itself was made";
    EXPECT_TRUE(cpu->Breakpoints().empty());
    EXPECT_EQ(gdi->LastExitCause(), CauseStopped) << "no single-step stop is recorded";
}

TEST_F(GdiExecution, SingleStepWhoseWaitIsCancelledSetsTheBreakpointAgain) {
    // The step never halts: the host gives up after about a second and the
    // instance waits until the cancel.
    cpu->onStep = {sim::ScriptedProcessor::Never, std::nullopt};
    SetBreakpoints({0x100});
    auto gdi = Open();
    std::vector<std::string> beforeCancel;
    RunOnceFromAnotherThreadAtFirstPoll([&] {
        beforeCancel = probe.Log().Methods();
        gdi->Cancel();
    });

    FrontEnd([&] { EXPECT_EQ(gdi->ExecSingleStep(1), GdiFailed); });

    EXPECT_EQ(IndexOf(beforeCancel, "INexusProcessor::AddBreakpoint"), -1) << "still lifted during the wait";
    EXPECT_EQ(cpu->Breakpoints(), std::set<uint64_t>{0x100});
    EXPECT_EQ(gdi->LastExitCause(), uint32_t(CauseStopped));
    EXPECT_EQ(cpu->state(), State::Running);
}

// ---- Stop and reset -------------------------------------------------------------------

TEST_F(GdiExecution, StopAndResetRecordTheirCauseOnlyOnSuccess) {
    const struct {
        const char* name;
        bool stopFirst;
        uint32_t (TGDI::*operation)();
        const char* fault;
        uint32_t result;
        uint32_t cause;
        State state;
    } cases[] = {
        {"stop", false, &TGDI::ExecStop, nullptr, GdiOk, CauseHalted, State::Halted},
        {"stop fails", false, &TGDI::ExecStop, "INexusProcessor::Pause", GdiFailed, CauseStopped, State::Running},
        {"reset", true, &TGDI::ExecResetChild, nullptr, GdiOk, CauseStopped, State::NotStarted},
        {"reset fails", true, &TGDI::ExecResetChild, "INexusProcessor::Reset", GdiFailed, CauseHalted,
         State::Halted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->Continue();  // runs until paused
        auto gdi = Open();
        FrontEnd([&] {
            if (c.stopFirst) {
                ASSERT_EQ(gdi->ExecStop(), GdiOk);
            }
            if (c.fault) probe.InjectFault(c.fault, E_FAIL);
            EXPECT_EQ(((*gdi).*c.operation)(), c.result);
        });
        EXPECT_EQ(gdi->LastExitCause(), c.cause);
        EXPECT_EQ(cpu->state(), c.state);
        probe.ClearFaults();
    }
}

// ---- Stop status ------------------------------------------------------------------------

TEST_F(GdiExecution, StatusReportsEachRunState) {
    const char* const notStarted = "CPU hasn't started executing yet.\r";
    const char* const unknown = "CPU has entered an unknown state.\r";
    const struct {
        const char* name;
        std::function<void(TGDI&)> prepare;  // on the front-end thread
        std::function<void()> processor;     // the state the status finds
        uint32_t result;
        std::optional<uint32_t> cause;  // none: the caller's field is untouched
        const char* message;
    } cases[] = {
        {"not started", nullptr, [&] { cpu->SetState(State::NotStarted); }, GdiOk, CauseStopped, notStarted},
        {"not started after a stop", [](TGDI& g) { g.ExecStop(); }, [&] { cpu->SetState(State::NotStarted); },
         GdiOk, CauseStopped, notStarted},
        {"running", nullptr, [&] { cpu->Continue(); }, GdiOk, CauseRunning, nullptr},
        {"stopped after the open", nullptr, nullptr, GdiOk, CauseStopped, nullptr},
        {"stopped after a single step", [](TGDI& g) { g.ExecSingleStep(1); }, nullptr, GdiOk, CauseSingleStep,
         nullptr},
        {"stopped after a stop", [](TGDI& g) { g.ExecStop(); }, nullptr, GdiOk, CauseHalted, nullptr},
        {"no state answered", nullptr, [&] { cpu->answersAllFalse = true; }, GdiOk, CauseUnknownState, unknown},
        {"state query fails", nullptr, [&] { probe.InjectFault("INexusProcessor::IsRunning", E_FAIL); }, GdiFailed,
         std::nullopt, nullptr},
    };
    std::vector<const char*> handedOut;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->SetState(State::Halted);
        cpu->answersAllFalse = false;
        auto gdi = Open();
        GdiExitStatus first, second;
        std::memset(&first, 0xAB, sizeof first);
        FrontEnd([&] {
            if (c.prepare) c.prepare(*gdi);
            if (c.processor) c.processor();
            EXPECT_EQ(gdi->ExecGetStatus(&first), c.result);
            gdi->ExecGetStatus(&second);
        });
        EXPECT_EQ(LoadLE32(first.cause), c.cause.value_or(0xABABABABu));
        EXPECT_EQ(LoadLE32(first.breakpointId), 0u);
        if (c.message) {
            ASSERT_NE(MessageOf(first), nullptr);
            EXPECT_STREQ(MessageOf(first), c.message);
            EXPECT_EQ(MessageOf(second), MessageOf(first)) << "the same text on every call";
            handedOut.push_back(MessageOf(first));
        } else {
            EXPECT_EQ(MessageOf(first), nullptr);
        }
        probe.ClearFaults();
    }
    // The texts outlive the instances that handed them out.
    ASSERT_EQ(handedOut.size(), 3u);
    EXPECT_EQ(handedOut[0], handedOut[1]);
    EXPECT_STREQ(handedOut[0], notStarted);
    EXPECT_STREQ(handedOut[2], unknown);
}

// ---- Close or a second open during a wait, at the exported boundary ----------------------

// Both waiting calls: the continue, and a single step whose processor does
// not halt (the host gives up after about a second), which still has to set
// its lifted breakpoint again after the close. A second open abandons the
// instance as a close does.
struct CloseCase {
    const char* name;
    bool singleStep;
    bool secondOpen;
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class GdiCloseDuringWait : public GdiSessionTest, public testing::WithParamInterface<CloseCase> {
protected:
    void TearDown() override {
        g_onPoll = nullptr;
        GdiSessionTest::TearDown();
    }
    ScopedPollPeriod fastPoll{FastPollMs};
};

TEST_P(GdiCloseDuringWait, EndsTheWaitFromAnotherThreadAndReleasesTheInstanceAfterwards) {
    probe.Log().Enable();
    const CloseCase& c = GetParam();
    auto cpu = AddCpu();
    auto next = AddCpu("NEXT");
    cpu->SetState(State::Halted);
    cpu->SetPc(0x100);
    cpu->AddBreakpoint(7, 0x100);
    if (c.singleStep) cpu->onStep = {sim::ScriptedProcessor::Never, std::nullopt};
    // Should the wait not end, the processor stops by itself after a few
    // dozen cycles and the call succeeds.
    cpu->onContinue = {40, std::nullopt};
    g_polls = 0;
    OpenSession(Lx32Path, "CPU", PollThunk);
    uint32_t endResult = 0xFFFFFFFF;
    // The close (or open) has returned before the waiting call looks at the
    // instance again; the sanitizer build catches any use of released
    // storage.
    RunOnceFromAnotherThreadAtFirstPoll([&] {
        const char* argv[] = {ArmPath, "NEXT"};
        endResult = c.secondOpen ? DiGdiOpen(0, 0, 2, argv, nullptr) : DiGdiClose(0);
    });

    FrontEnd([&] { EXPECT_EQ(c.singleStep ? DiExecSingleStep(1) : DiExecContinue(), GdiFailed); });

    EXPECT_EQ(endResult, GdiOk);
    EXPECT_LE(g_polls.load(), 2) << "the wait ended within one cycle";
    EXPECT_EQ(cpu->state(), State::Running) << "the processor is not halted";
    EXPECT_EQ(probe.Log().Count("INexusProcessor::Pause"), 0u);
    EXPECT_EQ(cpu->Breakpoints(), std::set<uint64_t>{0x100}) << "the breakpoint is back in place";
    if (c.secondOpen) {
        // The new instance is the current one.
        probe.Log().Clear();
        FrontEnd([&] { EXPECT_EQ(DiExecStop(), GdiOk); });
        EXPECT_EQ(next->state(), State::Halted);
        EXPECT_EQ(cpu->state(), State::Running);
        EXPECT_EQ(DiGdiClose(0), GdiOk);
    }
    EXPECT_EQ(DiGdiClose(0), GdiFailed) << "no instance is current any more";
    EXPECT_EQ(DiExecContinue(), GdiFailed);
}

INSTANTIATE_TEST_SUITE_P(Gdi, GdiCloseDuringWait,
                         testing::Values(CloseCase{"CloseEndsContinue", false, false},
                                         CloseCase{"CloseEndsSingleStep", true, false},
                                         CloseCase{"SecondOpenEndsContinue", false, true}),
                         [](const testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

}  // namespace
