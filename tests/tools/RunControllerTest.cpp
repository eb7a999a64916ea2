// The run controller on the in-process Cortex-M running the sample firmware,
// its races scripted through the poll hook: each way to end a run ends that
// run, halts the core, and leaves nothing behind for the next run.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/Boards.h"
#include "sim/arm/ArmCortexMCore.h"
#include "tests/support/SimFixture.h"
#include "tools/common/RunController.h"
#include "tools/common/Target.h"
#include "tools/orxdbg/Session.h"

namespace {

using frontend::RunController;
using frontend::RunEnd;
using frontend::RunResult;

constexpr const char* kDesignator = "CORTEXM";

class RunControllerTest : public SimTest {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(module.Load(DIORX_MODULE_FILE, error)) << error;
    }

    void SetUp() override {
        SimTest::SetUp();
        if (std::string(DIORX_FIRMWARE_ELF).empty()) GTEST_SKIP() << "the firmware is not built";
        host.AddProcessor(kDesignator, std::make_shared<sim::ArmCortexMCore>());
        target = std::make_unique<frontend::Target>(module, sim::DefaultBoard());
        run = std::make_unique<RunController>(*target);
    }

    void TearDown() override {
        run.reset();
        target.reset();
        SimTest::TearDown();
    }

    // Open, the firmware downloaded, reset: the core waits at its reset vector.
    void Start() {
        orxdbg::SetModulePollPeriod(10, false);
        std::string error;
        ASSERT_TRUE(target->Open(sim::DefaultBoard().arch.frontEndPath, kDesignator, &RunController::PollCallback, error))
            << error;
        std::size_t bytes = 0;
        ASSERT_TRUE(target->DownloadImage(DIORX_FIRMWARE_ELF, error, bytes)) << error;
        ASSERT_TRUE(target->Reset());
    }

    bool Running() {
        const auto status = target->Status();
        return status && status->cause == frontend::kCauseRunning;
    }

    static inline frontend::DiModule module;
    std::unique_ptr<frontend::Target> target;
    std::unique_ptr<RunController> run;
};

// Every request that ends a continue, made at the third poll of the run:
// the run ends with it, the core is halted, and (but for Terminate) the next
// run is not touched by it: that one runs until its deadline.
TEST_F(RunControllerTest, EachRequestEndsItsRunAndNoOther) {
    struct Case {
        const char* name;
        void (*request)(RunController&, std::string& failure);
        RunEnd end;
        bool sticky;  // the next run ends at once too
    };
    const Case cases[] = {
        {"interrupt (Ctrl-C, 0x03)", [](RunController& r, std::string&) { r.Interrupt(); }, RunEnd::Interrupted, false},
        {"client gone", [](RunController& r, std::string&) { r.Abandon(); }, RunEnd::Abandoned, false},
        {"engine lost", [](RunController&, std::string& f) { f = "the engine died"; }, RunEnd::TargetLost, false},
        {"terminate (SIGTERM)", [](RunController& r, std::string&) { r.Terminate(); }, RunEnd::Terminated, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        std::string failure;
        int polls = 0;
        run->options().onPoll = [&] {
            if (++polls == 3) c.request(*run, failure);
        };
        run->options().targetFailure = [&] { return failure; };
        FrontEnd([&] {
            Start();
            const RunResult first = run->Continue();
            EXPECT_EQ(first.end, c.end);
            EXPECT_GE(polls, 3);
            EXPECT_FALSE(Running()) << "the core still runs after the run ended";
            if (c.end == RunEnd::TargetLost) {
                EXPECT_EQ(first.detail, "the engine died");
            }
            failure.clear();

            run->options().timeoutSeconds = 0.2;
            const RunResult next = run->Continue();
            EXPECT_EQ(next.end, c.sticky ? RunEnd::Terminated : RunEnd::TimedOut) << "the request outlived its run";
            EXPECT_FALSE(Running());
            EXPECT_TRUE(target->Close());
        });
    }
}

TEST_F(RunControllerTest, TheDeadlineEndsEachRunOnItsOwn) {
    FrontEnd([&] {
        Start();
        run->options().timeoutSeconds = 0.2;
        EXPECT_EQ(run->Continue().end, RunEnd::TimedOut);
        EXPECT_FALSE(Running());
        // A new run gets a new deadline.
        EXPECT_EQ(run->Continue().end, RunEnd::TimedOut);
        run->options().timeoutSeconds = 0;
        EXPECT_EQ(run->Step(3).end, RunEnd::Stopped);
        EXPECT_TRUE(target->Close());
    });
}

// An interrupt that came while no run was going waits for the next run's
// caller: taken, it is gone; not taken, it ends the next run at its first
// poll, and that run uses it up.
TEST_F(RunControllerTest, AnInterruptBetweenRunsIsForTheNextRunOnly) {
    int polls = 0;
    run->options().onPoll = [&] { ++polls; };
    FrontEnd([&] {
        Start();
        run->Interrupt();
        EXPECT_TRUE(run->TakeInterrupt());
        EXPECT_FALSE(run->TakeInterrupt());

        run->Interrupt();
        EXPECT_EQ(run->Continue().end, RunEnd::Interrupted);
        EXPECT_EQ(polls, 1);
        EXPECT_FALSE(run->Requested());
        EXPECT_EQ(run->Step(1).end, RunEnd::Stopped);
        EXPECT_TRUE(target->Close());
    });
}

// A detach's continue: the first poll gives the wait up, the core runs on.
TEST_F(RunControllerTest, ReleaseLeavesTheCoreRunning) {
    FrontEnd([&] {
        Start();
        EXPECT_TRUE(run->Release());
        EXPECT_TRUE(Running());
        EXPECT_TRUE(target->Stop());
        EXPECT_FALSE(Running());
        EXPECT_TRUE(target->Close());
    });
}

}  // namespace
