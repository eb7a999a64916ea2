// The exported functions when memory runs out: every allocation that an
// open or a step makes on the front-end's thread is made to fail in turn.
// Built as a program of its own, since it replaces the global allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "gdi/GDI.h"
#include "tests/support/FailingAllocator.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;
using State = sim::ScriptedProcessor::State;

namespace {

std::atomic<int> g_polls{0};
std::function<void()> g_onPoll;
void DI_CDECL CountPoll() {
    ++g_polls;
    if (g_onPoll) g_onPoll();
}

class GdiAllocationFailure : public GdiSessionTest {
protected:
    void SetUp() override {
        GdiSessionTest::SetUp();
        g_polls = 0;
        g_onPoll = nullptr;
    }
    void TearDown() override {
        g_onPoll = nullptr;
        GdiSessionTest::TearDown();
    }

    // The host's own bookkeeping for a hand-over is in place before a sweep,
    // so that every allocation counted is the module's.
    void WarmUpHandOver() {
        FrontEnd([&] { DiExecStop(); });
        probe.ResetHostCallCount();
    }

    ScopedPollPeriod fastPoll{FastPollMs};
};

TEST_F(GdiAllocationFailure, OpenThatCannotGetMemoryFailsAndLeavesNoInstanceCurrent) {
    auto first = AddCpu("FIRST");
    auto second = AddCpu("SECOND");
    WarmUpHandOver();
    const char* argv[] = {Lx32Path, "SECOND"};
    const int allocations = alloctest::ForEachAllocation(
        [&] {
            OpenSession(Lx32Path, "FIRST");
            first->Continue();
            second->Continue();
            probe.ResetHostCallCount();
        },
        [&] { return DiGdiOpen(0, 0, 2, argv, nullptr); },
        [&](int k, uint32_t result, bool failed) {
            SCOPED_TRACE(testing::Message() << "allocation " << k << (failed ? " fails" : ": none failed"));
            EXPECT_EQ(result, failed ? GdiFailed : GdiOk);
            // The current instance, if any, halts its processor.
            FrontEnd([&] { EXPECT_EQ(DiExecStop(), failed ? GdiFailed : GdiOk); });
            EXPECT_EQ(first->state(), State::Running) << "the earlier instance is not current";
            EXPECT_EQ(second->state(), failed ? State::Running : State::Halted);
            if (failed) {
                EXPECT_EQ(probe.hostCalls(), 0u) << "the target was reached";
            }
            DiGdiClose(0);
        });
    EXPECT_GT(allocations, 0) << "an open allocates";
}

TEST_F(GdiAllocationFailure, OpenThatCannotGetMemoryEndsTheWaitOfTheEarlierInstance) {
    auto first = AddCpu("FIRST");
    AddCpu("SECOND");
    WarmUpHandOver();
    // Should the wait not end, the processor stops by itself after a few
    // dozen cycles and the call succeeds.
    first->onContinue = {40, std::nullopt};
    first->Continue();
    OpenSession(Lx32Path, "FIRST", CountPoll);
    uint32_t openResult = 0xFFFFFFFF;
    g_onPoll = [&, done = false]() mutable {
        if (done) return;
        done = true;
        std::thread([&] {
            const char* argv[] = {Lx32Path, "SECOND"};
            alloctest::FailAllocation(0);
            openResult = DiGdiOpen(0, 0, 2, argv, nullptr);
            alloctest::Disarm();
        }).join();
    };

    FrontEnd([&] { EXPECT_EQ(DiExecContinue(), GdiFailed); });

    EXPECT_EQ(openResult, GdiFailed);
    EXPECT_LE(g_polls.load(), 2) << "the wait ended within one cycle";
    EXPECT_EQ(first->state(), State::Running) << "the processor is left running";
    EXPECT_EQ(DiGdiClose(0), GdiFailed) << "no instance is current";
}

TEST_F(GdiAllocationFailure, StepsSetTheLiftedBreakpointAgainWhicheverAllocationFails) {
    auto cpu = AddCpu();
    cpu->onContinue = {0, 0x300};  // the run stops at once
    OpenSession();
    WarmUpHandOver();
    const std::set<uint64_t> breakpoints = {0x100, 0x200};
    const struct {
        const char* name;
        std::function<uint32_t()> call;
    } cases[] = {
        {"single step", [] { return DiExecSingleStep(1); }},
        {"continue", [] { return DiExecContinue(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int allocations = -1;
        FrontEnd([&] {
            allocations = alloctest::ForEachAllocation(
                [&] {
                    cpu->SetState(State::Halted);
                    cpu->SetPc(0x100);
                    for (uint64_t a : breakpoints) cpu->AddBreakpoint(7, a);
                },
                c.call,
                [&](int k, uint32_t result, bool failed) {
                    SCOPED_TRACE(testing::Message() << "allocation " << k << (failed ? " fails" : ": none failed"));
                    EXPECT_EQ(result, failed ? GdiFailed : GdiOk);
                    EXPECT_EQ(cpu->Breakpoints(), breakpoints);
                });
        });
        EXPECT_GT(allocations, 0);
    }
}

// A download step that cannot get memory for its hand-over fails as a
// download step does: the export's only failure code while an instance is
// open is 5.
TEST_F(GdiAllocationFailure, DownloadStepsThatCannotGetMemoryFailWithTheDownloadCode) {
    auto cpu = AddCpu();
    OpenSession();
    WarmUpHandOver();
    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    const struct {
        const char* name;
        uint32_t step;
    } steps[] = {{"start", 0}, {"block", 1}, {"finish", 2}, {"stop", 3}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        int allocations = -1;
        FrontEnd([&] {
            allocations = alloctest::ForEachAllocation(
                [] {}, [&] { return MemoryDownload(s.step, Format(3, IdCode, 0x300), data); },
                [&](int k, uint32_t result, bool failed) {
                    SCOPED_TRACE(testing::Message() << "allocation " << k << (failed ? " fails" : ": none failed"));
                    EXPECT_EQ(result, failed ? GdiDownloadFailed : GdiOk);
                });
        });
        EXPECT_GT(allocations, 0) << "a hand-over allocates";
    }
    EXPECT_EQ(cpu->Word(1, 0x302), 0xCCu) << "the block went out once memory was there";
}

// A memory read stores the words as the host reads them: no more than the
// memory space's transfer limit (16 words for DATA), whatever count the
// caller gives, so a large count costs the module no memory of its own.
TEST_F(GdiAllocationFailure, MemoryReadAllocatesWhatIsReadNotTheCount) {
    auto cpu = AddCpu();
    for (uint32_t i = 0; i < 16; ++i) cpu->SetWord(0, 0x40 + i, 0x1000 + i);
    OpenSession();
    constexpr uint32_t Count = 1u << 20;  // 4 MiB as words
    std::vector<GdiValue> values(Count);
    alloctest::LimitAllocationSize(64 * 1024);

    FrontEnd([&] { EXPECT_EQ(DiMemoryRead(Address(IdData, 0x40), values.data(), Count), GdiOk); });
    alloctest::LimitAllocationSize(0);

    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(LoadLE32(values[i].status), uint32_t(ValueValid)) << i;
        EXPECT_EQ(GatherWord(values[i]), 0x1000 + i) << i;
    }
    for (uint32_t i : {16u, Count - 1}) {
        EXPECT_EQ(LoadLE32(values[i].status), uint32_t(MemoryNotRead)) << i;
        EXPECT_EQ(GatherWord(values[i]), 0u) << i;
    }
}

}  // namespace
