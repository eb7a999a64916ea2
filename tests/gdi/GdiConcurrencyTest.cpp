// Several front-end threads calling the exports at once, as a careless
// front-end may. Each thread's transfers reach the target as it asked them;
// a run, its cancel and a stop from further threads neither block the others
// for good nor get in their way; a close and a new open while other threads
// are inside the instance harm nothing. The ThreadSanitizer build reports
// any access that is not guarded.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gdi/GDI.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;
using State = sim::ScriptedProcessor::State;

namespace {

constexpr int32_t CodeIndex = 1;  // the host's index of CODE
constexpr uint32_t BlockBytes = 48;

uint8_t PatternByte(int thread, uint32_t round, uint32_t i) {
    return static_cast<uint8_t>(thread * 0x80 + round * 7 + i);
}

// What went wrong on the threads, collected and reported after they joined.
class Problems {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> guard(lock_);
        if (list_.size() < 20) list_.push_back(what);
        ++count_;
    }
    // Records a code outside `allowed`.
    void Expect(const char* call, uint32_t code, std::set<uint32_t> allowed, int thread, uint32_t round) {
        if (!allowed.count(code))
            Add(std::string(call) + " returned " + std::to_string(code) + " on thread " + std::to_string(thread) +
                ", round " + std::to_string(round));
    }
    void Report() {
        EXPECT_EQ(count_, 0u);
        for (const std::string& p : list_) ADD_FAILURE() << p;
    }

private:
    std::mutex lock_;
    std::vector<std::string> list_;
    std::size_t count_ = 0;
};

class GdiConcurrency : public GdiSessionTest {
protected:
    void SetUp() override {
        GdiSessionTest::SetUp();
        cpu = AddCpu();
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
    }

    // One download of a block of its own, a register map sent again, a
    // register read and the block read back; the codes that are allowed for
    // each call, and the data that must come back when a call succeeds.
    // `closesAround`: another thread closes and opens meanwhile, so that any
    // call may find no instance (7), and a new instance no maps yet.
    void Transfers(int thread, uint32_t round, bool closesAround) {
        const uint64_t at = 0x10000 * (thread + 1) + round * BlockBytes;
        uint8_t data[BlockBytes];
        for (uint32_t i = 0; i < BlockBytes; ++i) data[i] = PatternByte(thread, round, i);
        const std::set<uint32_t> download = closesAround ? std::set<uint32_t>{0, 5, 7} : std::set<uint32_t>{0};
        const std::set<uint32_t> ok = closesAround ? std::set<uint32_t>{0, 7} : std::set<uint32_t>{0};
        problems.Expect("download start", MemoryDownload(0, Format(0, IdCode, at), nullptr), download, thread, round);
        const uint32_t block = MemoryDownload(1, Format(BlockBytes, IdCode, at), data);
        problems.Expect("download block", block, download, thread, round);
        problems.Expect("download finish", MemoryDownload(2, Format(0, IdCode, at), nullptr), download, thread, round);

        GdiMapEntry registers[] = {Entry("R0", IdR0), Entry("R1", IdR1), Entry("SP", IdSp)};
        problems.Expect("register map", DiGdiInitRegisterMap(3, registers, IdPc), ok, thread, round);
        GdiValue value;
        const int32_t id = thread == 0 ? IdR1 : IdSp;
        problems.Expect("register read", DiRegisterRead(id, &value), ok, thread, round);
        if (!closesAround && (StatusOf(value) != ValueValid || GatherWord(value) != (thread == 0 ? 0x22u : 0x2000u)))
            problems.Add("register read during other calls: status " + std::to_string(StatusOf(value)));

        GdiValue values[BlockBytes];
        problems.Expect("memory read", DiMemoryRead(Address(IdCode, at), values, BlockBytes), ok, thread, round);
        if (closesAround) return;
        for (uint32_t i = 0; i < BlockBytes; ++i)
            if (StatusOf(values[i]) != ValueValid || GatherWord(values[i]) != data[i]) {
                problems.Add("thread " + std::to_string(thread) + ", round " + std::to_string(round) +
                             ": the block read back is not the one downloaded");
                break;
            }
    }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
    Problems problems;
    ScopedPollPeriod fastPoll{"1"};
};

TEST_F(GdiConcurrency, TwoThreadsTransferringBesideARunTheOthersCancelAndStop) {
    constexpr uint32_t Rounds = 40;
    constexpr uint32_t Runs = 30;
    OpenSession();
    std::atomic<bool> runsDone{false};
    std::atomic<uint32_t> runsEndedByCancel{0};

    FrontEnd([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                for (uint32_t r = 0; r < Rounds; ++r) Transfers(t, r, false);
            });
        // Runs of a processor that never stops by itself: each ends by a
        // cancel (the processor left running) or by a stop.
        threads.emplace_back([&] {
            for (uint32_t r = 0; r < Runs; ++r) {
                const uint32_t result = r % 4 == 3 ? DiExecSingleStep(1) : DiExecContinue();
                problems.Expect("run", result, {0, 7}, 2, r);
                if (result == GdiFailed) ++runsEndedByCancel;
                GdiExitStatus status;
                problems.Expect("status", DiExecGetStatus(&status), {0}, 2, r);
            }
            runsDone = true;
        });
        // Cancels and stops never wait for the run they end.
        threads.emplace_back([&] {
            for (uint32_t n = 1; !runsDone; ++n) {
                problems.Expect("cancel", DiGdiCancel(), {0}, 3, n);
                if (n % 8 == 0) problems.Expect("stop", DiExecStop(), {0}, 3, n);
                platform::SleepMs(1);
            }
        });
        for (auto& thread : threads) thread.join();
    });

    problems.Report();
    EXPECT_GT(runsEndedByCancel.load(), 0u) << "the runs were meant to be cancelled";
    // Every block is where its thread downloaded it.
    for (int t = 0; t < 2; ++t)
        for (uint32_t r = 0; r < Rounds; ++r) {
            const uint64_t at = 0x10000 * (t + 1) + r * BlockBytes;
            uint32_t wrong = 0;
            for (uint32_t i = 0; i < BlockBytes; ++i) wrong += cpu->Word(CodeIndex, at + i) != PatternByte(t, r, i);
            EXPECT_EQ(wrong, 0u) << "thread " << t << ", round " << r;
        }
}

// A third thread closes the instance and opens a new one again and again
// while two threads transfer and run: calls that find no instance fail with
// 7, the others use the instance they found, which lives until they return.
TEST_F(GdiConcurrency, CloseAndOpenWhileOtherThreadsAreInside) {
    constexpr uint32_t Reopens = 25;
    OpenSession();
    std::atomic<bool> reopening{true};

    FrontEnd([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                for (uint32_t r = 0; reopening; ++r) {
                    Transfers(t, r % 64, true);
                    // A run ends when its instance is closed.
                    problems.Expect("continue", DiExecContinue(), {0, 7}, t, r);
                }
            });
        threads.emplace_back([&] {
            for (uint32_t n = 0; n < Reopens; ++n) {
                platform::SleepMs(2);
                problems.Expect("close", DiGdiClose(0), {0}, 2, n);
                const char* argv[] = {Lx32Path, "-p", "CPU"};
                problems.Expect("open", DiGdiOpen(0, 0, 3, argv, nullptr), {0}, 2, n);
                GdiMapEntry spaces[] = {Entry("DATA", IdData), Entry("CODE", IdCode)};
                problems.Expect("memory-space map", DiGdiInitMemorySpaceMap(2, spaces), {0}, 2, n);
            }
            // The last close ends any run still waiting; later calls find
            // no instance.
            problems.Expect("close", DiGdiClose(0), {0}, 2, Reopens);
            reopening = false;
        });
        // A run on the reopened instance holds it until it ends, and the
        // processor never stops by itself: the reopening thread's map call
        // would wait for ever behind it. Cancels end such runs (their
        // continue returns 7), as a front-end's would.
        threads.emplace_back([&] {
            while (reopening) {
                DiGdiCancel();
                platform::SleepMs(1);
            }
        });
        for (auto& thread : threads) thread.join();
    });

    problems.Report();
    EXPECT_EQ(DiGdiClose(0), GdiFailed) << "no instance is left open";
}

}  // namespace
