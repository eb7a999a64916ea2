// What a program download through the module costs compared with writing the
// same words straight into the simulated Cortex-M, in the same run.
//
// The module's download goes the real way: 256 KiB (the whole FLASH) in
// DiMemoryDownload steps of 1,024 bytes, each handed by the front-end thread
// (the benchmark's) to the host's main thread, which a second thread plays.
// The baseline writes the same bytes, one per word, with the core's own
// WriteBlock in blocks of 1,024 words, on the benchmark's thread.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/BenchSupport.h"
#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "sim/SimHost.h"
#include "sim/arm/ArmCortexMCore.h"


namespace {

constexpr uint32_t kImageBytes = sim::ArmCortexMCore::kFlashSize;
constexpr uint32_t kBlockBytes = 1024;

std::shared_ptr<sim::ArmCortexMCore> g_core;
std::vector<uint8_t> g_image;

void SetUpSession() {
    g_core = std::make_shared<sim::ArmCortexMCore>();
    sim::Host::Instance().AddProcessor("CORTEXM", g_core);
    g_image.resize(kImageBytes);
    for (uint32_t i = 0; i < kImageBytes; ++i) g_image[i] = static_cast<uint8_t>(i * 2654435761u >> 24);

    static const char* argv[] = {"qdvarm.exe", "CORTEXM"};
    DiGdiOpen(0, 0, 2, argv, nullptr);
    static const char* memory = "MEMORY";
    gdi::GdiMapEntry space{};
    std::memcpy(space.name, &memory, sizeof memory);
    gdi::StoreLE32(space.id, 0);
    DiGdiInitMemorySpaceMap(1, &space);
}

void BM_Baseline_DirectWrite(benchmark::State& state) {
    bench::ProcessCpuCounter cpu(state);
    std::vector<uint32_t> words(kBlockBytes);
    for (auto _ : state) {
        for (uint32_t done = 0; done < kImageBytes; done += kBlockBytes) {
            for (uint32_t i = 0; i < kBlockBytes; ++i) words[i] = g_image[done + i];
            g_core->WriteBlock(sim::ArmCortexMCore::kMemorySpace, words.data(), done, kBlockBytes);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
}

uint32_t DownloadStep(uint32_t step, uint64_t address, uint32_t count, const uint8_t* data) {
    gdi::GdiDownloadFormat format{};
    gdi::StoreLE32(format.byteCount, count);
    for (int i = 0; i < 8; ++i) format.start.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return DiMemoryDownload(0, step, format, data);
}

void BM_DiMemoryDownload(benchmark::State& state) {
    bench::ProcessCpuCounter cpu(state);
    for (auto _ : state) {
        bool ok = DownloadStep(0, 0, 0, nullptr) == gdi::GdiOk;
        for (uint32_t done = 0; ok && done < kImageBytes; done += kBlockBytes)
            ok = DownloadStep(1, done, kBlockBytes, g_image.data() + done) == gdi::GdiOk;
        ok = ok && DownloadStep(2, 0, 0, nullptr) == gdi::GdiOk;
        if (!ok) state.SkipWithError("a download step failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
}

BENCHMARK(BM_Baseline_DirectWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiMemoryDownload)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::HostMainThread mainThread;
    SetUpSession();
    bench::RatioReporter reporter("BM_Baseline_DirectWrite",
                                  "direct core WriteBlock of the same 256 KiB in 1,024-word blocks");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    DiGdiClose(0);
    g_core.reset();
    benchmark::Shutdown();
    return 0;
}
