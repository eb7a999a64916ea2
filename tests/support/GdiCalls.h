// The module's exported functions as a front-end declares them, small
// builders for the GDI records and a fixture that never leaves an instance
// open behind a test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "gdi/GDI.h"
#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "platform/Platform.h"
#include "tests/support/SimFixture.h"

namespace gditest {

using namespace gdi;

// ---- Records ---------------------------------------------------------------

inline GdiAddress Address(uint32_t spaceId, uint64_t address) {
    GdiAddress a;
    StoreLE32(a.spaceId, spaceId);
    for (int i = 0; i < 8; ++i) a.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return a;
}

inline GdiValue Value(std::array<uint8_t, 8> bytes, uint32_t status = 0) {
    GdiValue v;
    std::memcpy(v.bytes, bytes.data(), 8);
    StoreLE32(v.status, status);
    return v;
}

// A value filled with one byte, status included: stands for what the caller
// had in its storage before the call.
inline GdiValue Filled(uint8_t byte) {
    GdiValue v;
    std::memset(&v, byte, sizeof v);
    return v;
}

inline std::array<uint8_t, 8> BytesOf(const GdiValue& v) {
    std::array<uint8_t, 8> bytes;
    std::memcpy(bytes.data(), v.bytes, 8);
    return bytes;
}
inline uint32_t StatusOf(const GdiValue& v) { return LoadLE32(v.status); }

inline GdiBreakpoint Breakpoint(uint32_t kind, uint64_t address, uint32_t qualifier = 0, uint32_t spaceId = 0) {
    GdiBreakpoint b;
    std::memset(&b, 0x5A, sizeof b);  // the unread tail holds garbage
    StoreLE32(b.kind, kind);
    b.location = Address(spaceId, address);
    StoreLE32(b.qualifier, qualifier);
    return b;
}

inline GdiDownloadFormat Format(uint32_t byteCount, uint32_t spaceId, uint64_t start) {
    GdiDownloadFormat f;
    StoreLE32(f.format, 0xDEADBEEF);  // not read
    StoreLE32(f.byteCount, byteCount);
    f.start = Address(spaceId, start);
    return f;
}

inline GdiMapEntry Entry(const char* name, int32_t id, uint8_t fill = 0xEE) {
    GdiMapEntry e;
    std::memset(&e, fill, sizeof e);
    StorePointer(e.name, name);
    StoreLE32(e.id, static_cast<uint32_t>(id));
    return e;
}

inline const char* MessageOf(const GdiExitStatus& status) {
    const char* message;
    std::memcpy(&message, status.message, sizeof message);
    return message;
}

// ---- Download ---------------------------------------------------------------------

// A download step; the module does not read the flag.
inline uint32_t MemoryDownload(uint32_t step, const GdiDownloadFormat& format, const uint8_t* data,
                               uint32_t flag = 0xFFFFFF01) {
    return DiMemoryDownload(flag, step, format, data);
}

// ---- Poll period ------------------------------------------------------------------

// Sets DIORX_POLL_MS for the instances opened while it lives (null: unset)
// and puts back what was there before.
class ScopedPollPeriod {
public:
    explicit ScopedPollPeriod(const char* value) : saved_(platform::EnvironmentValue(PollPeriodVariable)) {
        platform::SetEnvironmentValue(PollPeriodVariable, value);
    }
    ~ScopedPollPeriod() { platform::SetEnvironmentValue(PollPeriodVariable, saved_ ? saved_->c_str() : nullptr); }
    ScopedPollPeriod(const ScopedPollPeriod&) = delete;
    ScopedPollPeriod& operator=(const ScopedPollPeriod&) = delete;

private:
    std::optional<std::string> saved_;
};

// A short period for tests whose waits are not about the period itself.
inline constexpr const char* FastPollMs = "10";

// ---- Sessions ------------------------------------------------------------------

inline constexpr const char* Lx32Path = "C:\\Tools\\qdvlx32.exe";
inline constexpr const char* ArmPath = "C:\\Tools\\qdvarm.exe";

// GDI ids of the standard session: registers R0, R1 and SP as 10, 11 and 12,
// the program counter as 20; memory spaces DATA and CODE as 3 and 5.
enum : int32_t { IdR0 = 10, IdR1 = 11, IdSp = 12, IdPc = 20, IdData = 3, IdCode = 5 };

// Drives the exports against the simulated host. Whatever a test leaves
// open is closed before the host is checked.
class GdiSessionTest : public SimTest {
protected:
    void TearDown() override {
        DiGdiClose(0);
        SimTest::TearDown();
    }

    // Opens an instance for `designator` as the front-end at `path` does, and
    // sends the standard maps.
    static void OpenSession(const char* path = Lx32Path, const char* designator = "CPU",
                            PollCallbackProc poll = nullptr) {
        const char* argv[] = {path, "-p", designator};
        ASSERT_EQ(DiGdiOpen(0, 0, 3, argv, poll), GdiOk);
        GdiMapEntry registers[] = {Entry("R0", IdR0), Entry("R1", IdR1), Entry("SP", IdSp)};
        ASSERT_EQ(DiGdiInitRegisterMap(3, registers, IdPc), GdiOk);
        GdiMapEntry spaces[] = {Entry("DATA", IdData), Entry("CODE", IdCode)};
        ASSERT_EQ(DiGdiInitMemorySpaceMap(2, spaces), GdiOk);
    }
};

// The arguments of every logged call of a method, in order.
inline std::vector<std::vector<uint64_t>> CallsOf(sim::TestProbe& probe, const std::string& method) {
    std::vector<std::vector<uint64_t>> result;
    for (const auto& call : probe.Log().Calls())
        if (call.method == method) result.push_back(call.args);
    return result;
}

// The position of the first logged call of a method at or after `from`; -1
// when there is none.
inline int IndexOf(const std::vector<std::string>& methods, const std::string& method, int from = 0) {
    for (int i = from; i < static_cast<int>(methods.size()); ++i)
        if (methods[i] == method) return i;
    return -1;
}

}  // namespace gditest
