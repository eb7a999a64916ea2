// The run wait, measured through the exports against the simulated host:
//
// 1. Stop to return: a processor that stops by itself a given time after
//    DiExecContinue started it; the time from that stop to DiExecContinue
//    returning (the wait noticing the stop, then the PC read and the
//    breakpoint check), in microseconds, median and 90th percentile.
// 2. CPU of a 10 s wait: a processor that runs for 10 s; the CPU time the
//    waiting (front-end) thread used meanwhile, and the whole process's
//    (which includes the host's main thread answering the state queries), as
//    a share of one core.
//
// Each in the module's own mode (fixed period, DIORX_POLL_MS) and in the
// adaptive mode (DIORX_POLL_ADAPTIVE=1, the period as the ceiling). A program
// printing a table; not run by CI.
//
// usage: diorx_wait_bench [--quick]   (--quick: 1 s waits, fewer samples)
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "platform/Platform.h"
#include "sim/ScriptedProcessor.h"
#include "sim/SimHost.h"

namespace {

using Clock = std::chrono::steady_clock;

// Stops by itself `runFor` after each Continue, on a timer thread of its
// own, and remembers when.
class TimedProcessor : public sim::ScriptedProcessor {
public:
    std::chrono::microseconds runFor{0};

    void Continue() override {
        JoinTimer();
        running_ = true;
        timer_ = std::thread([this] {
            const auto until = Clock::now() + runFor;
            // Sleeps, then spins the last 200 us, so that the stop happens
            // when it is due.
            std::this_thread::sleep_until(until - std::chrono::microseconds(200));
            while (Clock::now() < until) {
            }
            stoppedAt_ = Clock::now();
            running_ = false;
        });
    }
    void Step(uint32_t) override {}  // the step before the run: done at once
    void Pause() override { running_ = false; }
    bool IsNotStarted() override { return false; }
    bool IsRunning() override { return running_; }
    bool IsHalted() override { return !running_; }

    Clock::time_point StoppedAt() {
        JoinTimer();
        return stoppedAt_;
    }
    ~TimedProcessor() override { JoinTimer(); }

private:
    void JoinTimer() {
        if (timer_.joinable()) timer_.join();
    }
    std::atomic<bool> running_{false};
    std::thread timer_;
    Clock::time_point stoppedAt_{};
};

std::shared_ptr<TimedProcessor> g_cpu;

void Open(unsigned periodMs, bool adaptive) {
    platform::SetEnvironmentValue("DIORX_POLL_MS", std::to_string(periodMs).c_str());
    platform::SetEnvironmentValue("DIORX_POLL_ADAPTIVE", adaptive ? "1" : nullptr);
    static const char* argv[] = {"C:\\Tools\\qdvarm.exe", "CPU"};
    DiGdiOpen(0, 0, 2, argv, nullptr);
    static const char* pc = "PC";
    gdi::GdiMapEntry reg{};
    std::memcpy(reg.name, &pc, sizeof pc);
    gdi::StoreLE32(reg.id, 15);
    DiGdiInitRegisterMap(1, &reg, 15);
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Mode {
    const char* name;
    unsigned periodMs;
    bool adaptive;
};

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    bench::HostMainThread mainThread;
    g_cpu = std::make_shared<TimedProcessor>();
    g_cpu->AddRegister("PC", 0x100);
    sim::Host::Instance().AddProcessor("CPU", g_cpu);

    const Mode modes[] = {
        {"fixed 500 ms (the module alone)", 500, false},
        {"fixed 10 ms", 10, false},
        {"adaptive, ceiling 500 ms", 500, true},
        {"adaptive, ceiling 10 ms (tools)", 10, true},
    };
    // How long the processor runs before it stops: a breakpoint a few
    // instructions away, a short function, a longer run.
    const std::chrono::microseconds runs[] = {std::chrono::microseconds(0), std::chrono::microseconds(100),
                                              std::chrono::microseconds(5000)};

    std::printf("stop to DiExecContinue returning, microseconds (median / 90th percentile)\n");
    std::printf("%-34s %20s %20s %20s\n", "mode", "stop at once", "stop after 100 us", "stop after 5 ms");
    for (const Mode& mode : modes) {
        Open(mode.periodMs, mode.adaptive);
        std::printf("%-34s", mode.name);
        for (const auto runFor : runs) {
            const int samples = mode.periodMs >= 100 && !mode.adaptive ? (quick ? 3 : 8) : (quick ? 30 : 200);
            g_cpu->runFor = runFor;
            std::vector<double> latencies;
            ([&] {
                for (int i = 0; i < samples; ++i) {
                    if (DiExecContinue() != 0) {
                        std::printf(" failed");
                        break;
                    }
                    const auto returned = Clock::now();
                    latencies.push_back(
                        std::chrono::duration<double, std::micro>(returned - g_cpu->StoppedAt()).count());
                }
            })();
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.0f / %.0f", Percentile(latencies, 0.5), Percentile(latencies, 0.9));
            std::printf(" %20s", cell);
        }
        std::printf("\n");
        DiGdiClose(0);
    }

    const auto longRun = std::chrono::seconds(quick ? 1 : 10);
    std::printf("\nCPU during a wait of %lld s for a running processor (share of one core)\n",
                static_cast<long long>(longRun.count()));
    std::printf("%-34s %16s %16s\n", "mode", "waiting thread", "whole process");
    for (const Mode& mode : modes) {
        Open(mode.periodMs, mode.adaptive);
        g_cpu->runFor = longRun;
        double thread = 0, process = 0, wall = 0;
        ([&] {
            const double thread0 = ThreadCpuSeconds(), process0 = bench::ProcessCpuSeconds();
            const auto start = Clock::now();
            DiExecContinue();
            wall = std::chrono::duration<double>(Clock::now() - start).count();
            thread = ThreadCpuSeconds() - thread0;
            process = bench::ProcessCpuSeconds() - process0;
        })();
        std::printf("%-34s %15.3f%% %15.3f%%\n", mode.name, 100 * thread / wall, 100 * process / wall);
        DiGdiClose(0);
    }
    return 0;
}
