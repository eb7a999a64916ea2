// Pieces shared by the benchmarks: the host's main thread and a reporter
// that prints every result as a ratio to a baseline of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/SimHost.h"

namespace bench {

// Serves the module's hand-overs on a thread of its own for the whole run;
// the benchmark's thread plays the front-end.
class HostMainThread {
public:
    HostMainThread() {
        thread_ = std::thread([this] {
            sim::Host::Instance().RunFrontEnd([this] {
                std::unique_lock<std::mutex> guard(lock_);
                stopped_.wait(guard, [this] { return stop_; });
            });
        });
        // Wait until the host's main thread is serving.
        while (sim::Host::Instance().MainThreadId() == 0) std::this_thread::yield();
    }
    ~HostMainThread() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        stopped_.notify_all();
        thread_.join();
    }

private:
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable stopped_;
    bool stop_ = false;
};

// Prints the usual table, then each result as a multiple of the baseline
// (the benchmark named baselineName) with the same argument, or of the
// smallest baseline for benchmarks without one.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::string baselineName, std::string baselineText)
        : baselineName_(std::move(baselineName)), baselineText_(std::move(baselineText)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            results_.emplace_back(run.benchmark_name(), run.GetAdjustedRealTime());
        }
    }
    void PrintRatios() const {
        std::map<std::string, double> baseline;
        std::string smallest;  // the first baseline run is the smallest argument
        for (const auto& [name, time] : results_) {
            const auto slash = name.find('/');
            if (name.substr(0, slash) != baselineName_) continue;
            const std::string argument = slash == std::string::npos ? std::string() : name.substr(slash);
            baseline[argument] = time;
            if (smallest.empty()) smallest = argument;
        }
        if (baseline.empty()) return;
        std::printf("\nRatio to the baseline (%s, same run):\n", baselineText_.c_str());
        for (const auto& [name, time] : results_) {
            const auto slash = name.find('/');
            auto it = baseline.find(slash == std::string::npos ? smallest : name.substr(slash));
            if (it == baseline.end()) it = baseline.find(smallest);
            std::printf("  %-40s %10.2fx  (baseline%s)\n", name.c_str(), time / it->second, it->first.c_str());
        }
    }

private:
    std::string baselineName_;
    std::string baselineText_;
    std::vector<std::pair<std::string, double>> results_;
};

}  // namespace bench
