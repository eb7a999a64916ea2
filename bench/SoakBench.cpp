// Long runs through the real hand-over: a front-end thread calls the exports,
// the host's main thread (this program's main thread) runs every target
// operation. Two soaks:
//   1. 100,000 cycles of open, a few operations, close;
//   2. 1,000,000 operations in one session.
// At 10^3, 10^4 and 10^5 cycles (and the matching operation counts) and at the
// end it prints the resident set size, the host references alive and the call
// objects still pending. The goal is a flat line: within 1 MiB of the first
// figure.
//
//   diorx_soak [cycles [operations]]     defaults 100000 and 1000000
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "access/RT_ThreadSync.h"
#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "sim/ScriptedProcessor.h"
#include "sim/SimHost.h"


namespace {

using namespace gdi;

// Resident set size in KiB.
long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

const char* const kArgv[] = {"C:\\Tools\\qdvlx32.exe", "-p", "CPU"};
const char* const kR0 = "R0";
const char* const kData = "DATA";

void OpenWithMaps() {
    DiGdiOpen(0, 0, 3, kArgv, nullptr);
    GdiMapEntry reg{}, space{};
    StorePointer(reg.name, kR0);
    StoreLE32(reg.id, 1);
    StorePointer(space.name, kData);
    StoreLE32(space.id, 3);
    DiGdiInitRegisterMap(1, &reg, 20);
    DiGdiInitMemorySpaceMap(1, &space);
}

// Address 0x40 of DATA.
GdiAddress DataAddress() {
    GdiAddress a{};
    StoreLE32(a.spaceId, 3);
    a.address[7] = 0x40;
    return a;
}

std::atomic<long> g_failures{0};
void Expect(bool ok) {
    if (!ok) g_failures++;
}

// One of six operations, chosen by i; each is one or two hand-overs.
void Operation(uint64_t i) {
    static const GdiAddress data = DataAddress();
    GdiValue values[8];
    switch (i % 6) {
        case 0: {
            GdiValue v;
            Expect(DiRegisterRead(1, &v) == 0 && LoadLE32(v.status) == 0);
            break;
        }
        case 1: {
            GdiValue v{};
            SpreadWord(v, static_cast<uint32_t>(i));
            Expect(DiRegisterWrite(1, v) == 0);
            break;
        }
        case 2:
            for (auto& v : values) std::memset(&v, 0, sizeof v), SpreadWord(v, static_cast<uint32_t>(i));
            Expect(DiMemoryWrite(data, values, 8) == 0);
            break;
        case 3:
            Expect(DiMemoryRead(data, values, 8) == 0 && LoadLE32(values[7].status) == 0);
            break;
        case 4: {
            GdiBreakpoint b{};
            StoreLE32(b.kind, 1);
            b.location.address[6] = 0x02;
            GdiBreakpointResult r{};
            Expect(DiBreakpointSet(&r, b) == 0);
            Expect(DiBreakpointClear(0x200) == 0);
            break;
        }
        default: {
            GdiExitStatus status;
            Expect(DiExecGetStatus(&status) == 0);
            break;
        }
    }
}

struct Row {
    const char* soak;
    uint64_t count;
    long rss;
    int32_t live;
    std::size_t pending;
    double seconds;
};

Row Measure(const char* soak, uint64_t count, std::chrono::steady_clock::time_point start) {
    return {soak, count, RssKiB(), sim::LiveObjects().load(),
            targetaccess::g_PendingCalls ? targetaccess::g_PendingCalls->Count() : 0,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

bool IsCheckpoint(uint64_t n, uint64_t last) { return n == 1000 || n == 10000 || n == 100000 || n == last; }

}  // namespace

int main(int argc, char** argv) {
    const uint64_t cycles = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const uint64_t operations = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;

    auto cpu = std::make_shared<sim::ScriptedProcessor>();
    cpu->AddRegister("R0", 42);
    cpu->AddMemorySpace("DATA", 16);
    cpu->SetBreakpointSpace(7);
    cpu->SetState(sim::ScriptedProcessor::State::Halted);
    sim::Host& host = sim::Host::Instance();
    host.AddProcessor("CPU", cpu);

    std::vector<Row> rows;
    host.RunFrontEnd([&] {
        // Warm up: the first operation loads the flow library.
        OpenWithMaps();
        Operation(0);
        DiGdiClose(0);

        auto start = std::chrono::steady_clock::now();
        for (uint64_t c = 1; c <= cycles; ++c) {
            OpenWithMaps();
            for (uint64_t k = 0; k < 6; ++k) Operation(c + k);
            DiGdiClose(0);
            if (IsCheckpoint(c, cycles)) rows.push_back(Measure("open, 6 operations, close", c, start));
        }
        start = std::chrono::steady_clock::now();
        OpenWithMaps();
        for (uint64_t i = 1; i <= operations; ++i) {
            Operation(i);
            if (IsCheckpoint(i, operations) || i == 1000000) rows.push_back(Measure("operations in one session", i, start));
        }
        DiGdiClose(0);
    });

    std::printf("%-28s %10s %10s %12s %10s %8s %8s\n", "soak", "count", "RSS KiB", "RSS-first KiB", "host refs",
                "pending", "seconds");
    long first = 0;
    const char* soak = nullptr;
    long worst = 0;
    for (const Row& r : rows) {
        if (r.soak != soak) {
            soak = r.soak;
            first = r.rss;
        }
        worst = std::max(worst, std::labs(r.rss - first));
        std::printf("%-28s %10llu %10ld %12ld %10d %8zu %8.1f\n", r.soak, static_cast<unsigned long long>(r.count),
                    r.rss, r.rss - first, r.live, r.pending, r.seconds);
    }
    std::printf("largest RSS change from the first figure of a soak: %ld KiB (goal: within 1024); failed operations: %ld\n",
                worst, g_failures.load());
    host.Reset();
    return g_failures == 0 && worst <= 1024 ? 0 : 1;
}
