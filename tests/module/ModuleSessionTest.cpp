// One debug session through the built module's exports, as a front-end runs
// it: open, maps, a download in blocks, a breakpoint, continue to it, stop
// status, registers, memory, close.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>

#include "sim/ScriptedProcessor.h"
#include "tests/support/GuardedPage.h"
#include "tests/support/ModuleLoader.h"
#include "tests/support/SimFixture.h"

using namespace diorx_test;

namespace {

std::atomic<int> g_polls{0};
void DI_CDECL CountPoll() { g_polls++; }

struct MapEntry {
    const char* name;
    int32_t id;
    uint8_t accepted;
    uint8_t untouched[3];
};

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// The records passed by value: the space id little-endian, the address most
// significant byte first.
gdi::GdiAddress Address(uint32_t space, uint64_t address) {
    gdi::GdiAddress a;
    gdi::StoreLE32(a.spaceId, space);
    for (int i = 0; i < 8; ++i) a.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return a;
}
gdi::GdiDownloadFormat Format(uint32_t byteCount, const gdi::GdiAddress& start) {
    gdi::GdiDownloadFormat f;
    gdi::StoreLE32(f.format, 0);
    gdi::StoreLE32(f.byteCount, byteCount);
    f.start = start;
    return f;
}

class ModuleSession : public SimTest {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(module.Load(DIORX_MODULE_FILE, error)) << error;
    }
    static DiModule module;
};
DiModule ModuleSession::module;

TEST_F(ModuleSession, FrontEndDrivesAProcessorFromOpenToClose) {
    auto cpu = AddCpu("U7");
    cpu->AddRegister("R7", 0xFEEDF00D);
    cpu->SetPc(0x100);
    cpu->SetState(sim::ScriptedProcessor::State::Halted);
    // The run stops one instruction past the breakpoint, as a processor that
    // reports the address after the trapping instruction does.
    cpu->onContinue = {2, 0x205};
    cpu->onStep = {0, std::nullopt};
    g_polls = 0;

    const char* argv[] = {"C:\\Tools\\qdvmb.exe", "-p", "U7"};
    MapEntry registers[] = {{"pc", 0, 0, {9, 9, 9}}, {"r0", 1, 0, {}}, {"R7", 7, 0, {}}};
    MapEntry spaces[] = {{"code", 2, 0, {}}, {"DATA", 3, 0, {}}};

    FrontEnd([&] {
        ASSERT_EQ(module.DiGdiOpen(0, 0, 3, argv, &CountPoll), 0u);
        ASSERT_EQ(module.DiGdiInitRegisterMap(3, registers, 0), 0u);
        ASSERT_EQ(module.DiGdiInitMemorySpaceMap(2, spaces), 0u);
        EXPECT_EQ(registers[0].accepted, 1);
        EXPECT_EQ(registers[0].untouched[0], 9);
        EXPECT_EQ(spaces[1].accepted, 1);

        // Download 1,500 bytes into CODE: start, one block, finish.
        std::vector<uint8_t> image(1500);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
        const gdi::GdiAddress start = Address(2, 0x1000);
        EXPECT_EQ(module.DiMemoryDownload(0, 0, Format(0, start), nullptr), 0u);
        EXPECT_EQ(module.DiMemoryDownload(0, 1, Format(1500, start), image.data()), 0u);
        EXPECT_EQ(module.DiMemoryDownload(0, 2, Format(0, start), nullptr), 0u);
        for (std::size_t i = 0; i < image.size(); i += 97) EXPECT_EQ(cpu->Word(1, 0x1000 + i), image[i]) << i;
        EXPECT_EQ(cpu->Word(1, 0x1000 + 1499), image[1499]);

        // Breakpoint at 0x204, then run to it.
        uint8_t result[24];
        std::memset(result, 0xEE, sizeof result);
        gdi::GdiBreakpoint request{};
        gdi::StoreLE32(request.kind, 1);
        request.location = Address(0, 0x204);
        EXPECT_EQ(module.DiBreakpointSet(result, request), 0u);
        EXPECT_EQ(Le32(result), 0x204u);
        EXPECT_EQ(Le32(result + 20), 4u);
        EXPECT_EQ(module.DiExecContinue(), 0u);
        EXPECT_GE(g_polls.load(), 1);

        uint8_t status[16] = {};
        EXPECT_EQ(module.DiExecGetStatus(status), 0u);
        EXPECT_EQ(Le32(status), 4u) << "stopped at a breakpoint";
        EXPECT_EQ(Le32(status + 4), 0x204u);

        uint8_t value[12];
        EXPECT_EQ(module.DiRegisterRead(-1, value), 0u);
        EXPECT_EQ(Le32(value + 8), 0u);
        EXPECT_EQ(value[6], 0x02);
        EXPECT_EQ(value[7], 0x04) << "the PC was moved back onto the breakpoint";
        EXPECT_EQ(module.DiRegisterRead(7, value), 0u);
        EXPECT_EQ(value[4], 0xFE);
        EXPECT_EQ(value[7], 0x0D);

        // Memory through DATA: write two words, read three (one never written).
        const gdi::GdiAddress data = Address(3, 0x40);
        uint8_t values[3][12] = {{0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF}, {0, 0, 0, 0, 0, 1, 0, 0}};
        EXPECT_EQ(module.DiMemoryWrite(data, values, 2), 0u);
        std::memset(values, 0x55, sizeof values);
        EXPECT_EQ(module.DiMemoryRead(data, values, 3), 0u);
        EXPECT_EQ(values[0][4], 0xDE);
        EXPECT_EQ(values[0][7], 0xEF);
        EXPECT_EQ(values[1][5], 0x01);
        EXPECT_EQ(values[2][7], 0x00);
        for (auto& v : values) EXPECT_EQ(Le32(v + 8), 0u);

        EXPECT_EQ(module.DiBreakpointClear(0x204), 0u);
        EXPECT_TRUE(cpu->Breakpoints().empty());
        EXPECT_EQ(module.DiGdiClose(0), 0u);
        EXPECT_EQ(module.DiGdiClose(0), 7u);
    });
}

// A value array ends at the last byte before a page that cannot be touched.
// A count whose array cannot exist in the address space is refused with 7
// before the host is asked for anything and before any value is written; a
// value written past the caller's array would fault on the guard page.
TEST_F(ModuleSession, ValueCountsNoArrayCanHoldAreRefusedUntouched) {
    auto cpu = AddCpu("U7");
    cpu->SetState(sim::ScriptedProcessor::State::Halted);
    const char* argv[] = {"C:\\Tools\\qdvmb.exe", "-p", "U7"};
    MapEntry registers[] = {{"pc", 0, 0, {}}};
    MapEntry spaces[] = {{"CODE", 3, 0, {}}};  // reads up to 1,024 words at a time
    const gdi::GdiAddress data = Address(3, 0x40);

    GuardedPage page;
    ASSERT_TRUE(page.ok());
    constexpr std::size_t ValueSize = 12;
    const std::size_t room = page.size() / ValueSize;
    uint8_t* const first = page.end() - room * ValueSize;
    // The smallest count whose array would run past the end of the address
    // space from `first`; on a 64-bit build no 32-bit count does.
    const uint64_t bytesLeft = uint64_t(std::numeric_limits<uintptr_t>::max() - reinterpret_cast<uintptr_t>(first)) + 1;
    const uint64_t smallestUnfit = bytesLeft / ValueSize + 1;
    if (smallestUnfit > std::numeric_limits<uint32_t>::max())
        GTEST_SKIP() << "every 32-bit count of values fits in this build's address space; the product is 32-bit";

    const struct {
        const char* name;
        uint32_t count;
    } counts[] = {{"2^30 values (12 GiB)", 1u << 30},
                  {"the smallest count that cannot fit", static_cast<uint32_t>(smallestUnfit)},
                  {"the largest count", 0xFFFFFFFFu}};
    FrontEnd([&] {
        ASSERT_EQ(module.DiGdiOpen(0, 0, 3, argv, nullptr), 0u);
        ASSERT_EQ(module.DiGdiInitRegisterMap(1, registers, 0), 0u);
        ASSERT_EQ(module.DiGdiInitMemorySpaceMap(1, spaces), 0u);
        for (const auto& c : counts) {
            SCOPED_TRACE(c.name);
            std::memset(first, 0x5A, room * ValueSize);
            const uint64_t hostCalls = probe.hostCalls();
            EXPECT_EQ(module.DiMemoryRead(data, first, c.count), 7u);
            EXPECT_EQ(module.DiMemoryWrite(data, first, c.count), 7u);
            EXPECT_EQ(probe.hostCalls(), hostCalls) << "the host was asked";
            bool untouched = true;
            for (std::size_t i = 0; i < room * ValueSize; ++i) untouched = untouched && first[i] == 0x5A;
            EXPECT_TRUE(untouched) << "a value was written";
        }
        // The array that does exist is still served in full.
        EXPECT_EQ(module.DiMemoryRead(data, first, static_cast<uint32_t>(room)), 0u);
        EXPECT_EQ(Le32(first + 8), 0u) << "the first value was read";
        EXPECT_EQ(Le32(first + (room - 1) * ValueSize + 8), 0u) << "the last value was read";
        EXPECT_EQ(module.DiGdiClose(0), 0u);
    });
}

}  // namespace
