// What a front-end pays per call. Every figure is reported as a ratio to a
// baseline measured in the same run: reading the same words straight from
// the simulated processor, with no module, no hand-over and no lookups.
//
// The module's calls go the real way: a front-end thread (the benchmark's)
// hands each operation to the host's main thread, which a second thread
// plays here.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/BenchSupport.h"
#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "sim/ScriptedProcessor.h"
#include "sim/SimHost.h"


namespace {

std::shared_ptr<sim::ScriptedProcessor> g_cpu;

void SetUpSession() {
    g_cpu = std::make_shared<sim::ScriptedProcessor>();
    g_cpu->AddRegister("R0", 42);
    g_cpu->AddMemorySpace("DATA", 1u << 20);
    for (uint32_t i = 0; i < 4096; ++i) g_cpu->SetWord(0, i, i * 2654435761u);
    sim::Host::Instance().AddProcessor("CPU", g_cpu);

    static const char* argv[] = {"qdvlx32.exe", "CPU"};
    DiGdiOpen(0, 0, 2, argv, nullptr);
    static const char* data = "DATA";
    static const char* r0 = "R0";
    gdi::GdiMapEntry space{}, reg{};
    std::memcpy(space.name, &data, sizeof data);
    std::memcpy(reg.name, &r0, sizeof r0);
    gdi::StoreLE32(space.id, 1);
    gdi::StoreLE32(reg.id, 1);
    DiGdiInitMemorySpaceMap(1, &space);
    DiGdiInitRegisterMap(1, &reg, 0);
}

void BM_Baseline_DirectRead(benchmark::State& state) {
    std::vector<uint32_t> words(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        g_cpu->ReadBlock(0, words.data(), 0, static_cast<uint32_t>(words.size()));
        benchmark::DoNotOptimize(words.data());
    }
}

// Address 0 of DATA (space id 1).
gdi::GdiAddress DataStart() {
    gdi::GdiAddress address{};
    gdi::StoreLE32(address.spaceId, 1);
    return address;
}

void BM_DiMemoryRead(benchmark::State& state) {
    std::vector<gdi::GdiValue> values(static_cast<std::size_t>(state.range(0)));
    const gdi::GdiAddress start = DataStart();
    for (auto _ : state) {
        if (DiMemoryRead(start, values.data(), static_cast<uint32_t>(values.size())) != 0)
            state.SkipWithError("DiMemoryRead failed");
        benchmark::DoNotOptimize(values.data());
    }
}

void BM_DiMemoryWrite(benchmark::State& state) {
    std::vector<gdi::GdiValue> values(static_cast<std::size_t>(state.range(0)));
    const gdi::GdiAddress start = DataStart();
    for (auto _ : state)
        if (DiMemoryWrite(start, values.data(), static_cast<uint32_t>(values.size())) != 0)
            state.SkipWithError("DiMemoryWrite failed");
}

void BM_DiRegisterRead(benchmark::State& state) {
    gdi::GdiValue value{};
    for (auto _ : state) {
        DiRegisterRead(1, &value);
        benchmark::DoNotOptimize(&value);
    }
}

BENCHMARK(BM_Baseline_DirectRead)->Arg(16)->Arg(1024);
BENCHMARK(BM_DiMemoryRead)->Arg(16)->Arg(1024);
BENCHMARK(BM_DiMemoryWrite)->Arg(16)->Arg(1024);
BENCHMARK(BM_DiRegisterRead);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::HostMainThread mainThread;
    SetUpSession();
    bench::RatioReporter reporter("BM_Baseline_DirectRead", "direct read of the same words");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    DiGdiClose(0);
    benchmark::Shutdown();
    return 0;
}
