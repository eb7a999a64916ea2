// The 8-bit boards through the module's exports (simulated host, the
// module's classes linked in, the wait as orxdbg sets it: adaptive, 10 ms
// ceiling). Prints a table; asserts nothing.
//
//   8051: the s51 console's round trip (the floor: a command that does
//         nothing, sent 5 ms after the previous answer, as a debugger's
//         next command comes; s51 looks for input every 100 ms then), and a
//         continue from a breakpoint to the same breakpoint three loop
//         rounds later (DiExecContinue and DiExecGetStatus), as a ratio to
//         the floor. For comparison, the same command sent the moment the
//         previous answer is in: s51 may still be awake and answer at once;
//   both: the time DiExecStop takes to leave a free-running program halted.
//
// usage: diorx_eightbit_bench Z80_HEX MCS51_HEX
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "platform/Platform.h"
#include "sim/Boards.h"
#include "sim/SimHost.h"
#include "sim/s51/S51Core.h"
#include "sim/z80/Z80Core.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"

namespace {

using namespace gdi;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

GdiAddress Address(uint32_t space, uint32_t address) {
    GdiAddress a;
    std::memset(&a, 0, sizeof a);
    StoreLE32(a.spaceId, space);
    for (int i = 0; i < 4; ++i) a.address[4 + i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    return a;
}

int g_polls = 0;
int g_cancelAfter = 0;
void DI_CDECL OnPoll() {
    if (g_cancelAfter > 0 && ++g_polls >= g_cancelAfter) DiGdiCancel();
}

// A session on one board: the board's maps, the image downloaded.
class Session {
public:
    Session(const sim::Board& board, const std::string& hex) : board_(board) {
        orxdbg::SetCurrentBoard(board);
        std::string error;
        if (!orxdbg::LoadImageFile(hex, image_, error)) throw std::runtime_error(error);
    }
    bool Open() {
        const char* argv[] = {board_.arch.frontEndPath, "U1"};
        if (DiGdiOpen(0, 0, 2, argv, &OnPoll) != GdiOk) return false;
        std::vector<GdiMapEntry> registers(board_.arch.registers.size());
        for (std::size_t i = 0; i < registers.size(); ++i) {
            std::memset(&registers[i], 0, sizeof registers[i]);
            StorePointer(registers[i].name, board_.arch.registers[i].name);
            StoreLE32(registers[i].id, static_cast<uint32_t>(i));
        }
        const auto pc = board_.arch.RegisterIndex(sim::RegisterRole::Pc);
        DiGdiInitRegisterMap(static_cast<int32_t>(registers.size()), registers.data(), pc);
        names_ = sim::MemorySpaceNames(board_);
        std::vector<GdiMapEntry> spaces(names_.size());
        for (std::size_t i = 0; i < spaces.size(); ++i) {
            std::memset(&spaces[i], 0, sizeof spaces[i]);
            StorePointer(spaces[i].name, names_[i].c_str());
            StoreLE32(spaces[i].id, static_cast<uint32_t>(i));
        }
        DiGdiInitMemorySpaceMap(static_cast<int32_t>(spaces.size()), spaces.data());
        return Download() && DiExecResetChild() == GdiOk;
    }
    bool Download() {
        auto step = [](uint32_t code, uint32_t count, uint32_t at, const uint8_t* data) {
            GdiDownloadFormat f;
            std::memset(&f, 0, sizeof f);
            StoreLE32(f.byteCount, count);
            f.start = Address(0, at);
            return DiMemoryDownload(0, code, f, data) == GdiOk;
        };
        if (!step(0, 0, 0, nullptr)) return false;
        for (const orxdbg::Segment& s : image_.segments)
            for (std::size_t at = 0; at < s.bytes.size(); at += 1024) {
                const auto n = static_cast<uint32_t>(std::min<std::size_t>(1024, s.bytes.size() - at));
                if (!step(1, n, static_cast<uint32_t>(s.address + at), s.bytes.data() + at)) return false;
            }
        return step(2, 0, 0, nullptr);
    }
    uint32_t Symbol(const char* name) const { return static_cast<uint32_t>(image_.symbols.Find(name)->address); }
    uint32_t Space(const char* name) const { return image_.symbols.Find(name)->space; }
    bool Break(uint32_t address) {
        GdiBreakpoint b;
        std::memset(&b, 0, sizeof b);
        StoreLE32(b.kind, 1);
        b.location = Address(0, address);
        GdiBreakpointResult r;
        std::memset(&r, 0, sizeof r);
        return DiBreakpointSet(&r, b) == GdiOk;
    }
    bool Write(const char* symbol, const std::vector<uint8_t>& bytes) {
        std::vector<GdiValue> values(bytes.size());
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            std::memset(&values[i], 0, sizeof values[i]);
            values[i].bytes[7] = bytes[i];
        }
        return DiMemoryWrite(Address(Space(symbol), Symbol(symbol)), values.data(), static_cast<uint32_t>(values.size())) ==
               GdiOk;
    }
    uint32_t Cause() {
        GdiExitStatus status;
        std::memset(&status, 0, sizeof status);
        DiExecGetStatus(&status);
        return LoadLE32(status.cause);
    }

private:
    const sim::Board& board_;
    orxdbg::Image image_;
    std::vector<std::string> names_;
};

struct Row {
    std::string what;
    double value;
    std::string unit;
};

// Continues from a breakpoint to it again, rounds times; the median.
double ContinueRoundTrip(Session& s, int rounds) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        if (DiExecContinue() != GdiOk || s.Cause() != CauseBreakpoint) return -1;
        times.push_back(Ms(Clock::now() - start));
    }
    return Median(times);
}

// Lets the program run free for a few polls, gives up waiting, then times
// DiExecStop; the median of rounds.
double StopTime(sim::ProcessorCore& core, int rounds) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        g_polls = 0;
        g_cancelAfter = 5;
        if (DiExecContinue() != GdiFailed) return -1;  // cancelled, still running
        g_cancelAfter = 0;
        const auto start = Clock::now();
        if (DiExecStop() != GdiOk) return -1;
        times.push_back(Ms(Clock::now() - start));
        if (!core.IsHalted()) return -1;
    }
    return Median(times);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s Z80_HEX MCS51_HEX\n", argv[0]);
        return 2;
    }
    platform::SetEnvironmentValue("DIORX_POLL_MS", "10");
    platform::SetEnvironmentValue("DIORX_POLL_ADAPTIVE", "1");
    sim::Host& host = sim::Host::Instance();
    std::vector<Row> rows;
    bool ok = true;

    // ---- 8051
    {
        auto core = std::make_shared<sim::S51Core>();
        std::vector<double> pings, atOnce;
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pings.push_back(std::chrono::duration<double, std::milli>(core->Ping()).count());
        }
        for (int i = 0; i < 20; ++i) atOnce.push_back(std::chrono::duration<double, std::milli>(core->Ping()).count());
        const double floor = Median(pings);
        host.AddProcessor("U1", core);
        Session s(*sim::FindBoard("8051"), argv[2]);
        host.RunFrontEnd([&] {
            ok = ok && s.Open() && s.Break(s.Symbol("done")) && DiExecContinue() == GdiOk;
            const double roundTrip = ok ? ContinueRoundTrip(s, 10) : -1;
            // From done, a count that does not end.
            ok = ok && roundTrip > 0 && DiBreakpointClearAll() == GdiOk && s.Write("rounds", {0xff, 0xff, 0xff, 0x7f});
            const double stop = ok ? StopTime(*core, 5) : -1;
            ok = ok && stop > 0;
            rows.push_back({"8051: s51 console round trip (floor), median of 20", floor, "ms"});
            rows.push_back({"8051: the same, sent as the previous answer arrives, median of 20", Median(atOnce), "ms"});
            rows.push_back({"8051: continue from a breakpoint to it again, median of 10", roundTrip, "ms"});
            rows.push_back({"8051: that continue / the floor (goal <= 2.5)", roundTrip / floor, ""});
            rows.push_back({"8051: DiExecStop of a free run to halted, median of 5", stop, "ms"});
            DiGdiClose(0);
        });
        host.Reset();
    }

    // ---- Z80
    {
        auto core = std::make_shared<sim::Z80Core>();
        host.AddProcessor("U1", core);
        Session s(*sim::FindBoard("z80"), argv[1]);
        host.RunFrontEnd([&] {
            ok = ok && s.Open() && s.Break(s.Symbol("main")) && DiExecContinue() == GdiOk &&
                 DiBreakpointClearAll() == GdiOk && s.Write("rounds", {0xff, 0xff, 0xff, 0x7f});
            const double stop = ok ? StopTime(*core, 20) : -1;
            ok = ok && stop > 0;
            rows.push_back({"Z80: DiExecStop of a free run to halted, median of 20 (goal <= 5)", stop, "ms"});
            DiGdiClose(0);
        });
        host.Reset();
    }

    for (const Row& row : rows) std::printf("| %-68s | %10.3f %-2s |\n", row.what.c_str(), row.value, row.unit.c_str());
    if (!ok) std::fprintf(stderr, "a step of the benchmark failed\n");
    return ok ? 0 : 1;
}
