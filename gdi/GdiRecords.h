// The records and status codes of the GDI interface.
//
// Records are packed byte layouts owned by the front-end. 32-bit fields are
// little-endian; the 8-byte address and value fields are most significant
// byte first. Fields are read and written only through the byte-order
// helpers below, never through the compiler's idea of a struct.
//
// Text pointers are 32 bits wide in the product. The 64-bit builds widen
// them to their pointer size and move every later field by the difference
// (platform/Abi.h); the asserts below pin the layout of every build, and in
// the product every size and offset by number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/Abi.h"

namespace gdi {

enum GdiStatus : uint32_t {
    GdiOk = 0,
    GdiNotSupported = 4,
    GdiDownloadFailed = 5,
    GdiFailed = 7,
};

// ---- Byte-order helpers ----------------------------------------------------

inline uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t LoadBE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t LoadBE64(const uint8_t* p) { return uint64_t(LoadBE32(p)) << 32 | LoadBE32(p + 4); }
inline void StorePointer(uint8_t* p, const void* pointer) { std::memcpy(p, &pointer, sizeof pointer); }

// Byte n (0 least significant) of a 32-bit word; a word has no bytes 4 to 7.
constexpr uint8_t ExtractByte(unsigned index, uint32_t word) {
    return index < 4 ? static_cast<uint8_t>(word >> (8 * index)) : 0;
}

using platform::PointerGrowth;  // 0 in the product

// ---- Records ---------------------------------------------------------------

#pragma pack(push, 1)

struct GdiAddress {
    uint8_t spaceId[4];
    uint8_t address[8];  // most significant byte first
};

struct GdiValue {
    uint8_t bytes[8];  // most significant byte first
    uint8_t status[4];
};
// Why the processor stopped, as the exit status record reports it.
enum StopCause : uint32_t {
    CauseRunning = 0,
    CauseSingleStep = 1,
    CauseBreakpoint = 4,
    CauseHalted = 128,
    CauseStopped = 512,
    CauseUnknownState = 1024,
};

enum GdiValueStatus : uint32_t { ValueValid = 0, RegisterNotRead = 3, MemoryNotRead = 6 };

struct GdiBreakpoint {
    uint8_t kind[4];
    GdiAddress location;
    uint8_t qualifier[4];
    uint8_t notRead[8];
};

struct GdiBreakpointResult {
    uint8_t breakpointId[4];
    uint8_t notTouched[16];
    uint8_t resultWord[4];
};

struct GdiExitStatus {
    uint8_t cause[4];
    uint8_t breakpointId[4];
    uint8_t message[sizeof(void*)];
};

struct GdiMapEntry {
    uint8_t name[sizeof(void*)];
    uint8_t id[4];
    uint8_t accepted;
    uint8_t notTouched[3];
};

struct GdiDownloadFormat {
    uint8_t format[4];
    uint8_t byteCount[4];
    GdiAddress start;
};

#pragma pack(pop)

// GdiFeatures is written field by field (see FillFeatures); only its size and
// the offsets of the fields after the two text pointers matter here.
constexpr std::size_t GdiFeaturesSize = 156 + 2 * PointerGrowth;
constexpr std::size_t FeaturesOffset(std::size_t productOffset) {
    return productOffset < 8 ? productOffset * (4 + PointerGrowth) / 4 : productOffset + 2 * PointerGrowth;
}

static_assert(sizeof(GdiAddress) == 12 && offsetof(GdiAddress, address) == 4);
static_assert(sizeof(GdiValue) == 12 && offsetof(GdiValue, status) == 8);
static_assert(sizeof(GdiBreakpoint) == 28);
static_assert(offsetof(GdiBreakpoint, location) == 4 && offsetof(GdiBreakpoint, qualifier) == 16 &&
              offsetof(GdiBreakpoint, notRead) == 20);
static_assert(sizeof(GdiBreakpointResult) == 24 && offsetof(GdiBreakpointResult, resultWord) == 20);
static_assert(sizeof(GdiExitStatus) == 12 + PointerGrowth);
static_assert(offsetof(GdiExitStatus, breakpointId) == 4 && offsetof(GdiExitStatus, message) == 8);
static_assert(sizeof(GdiMapEntry) == 12 + PointerGrowth);
static_assert(offsetof(GdiMapEntry, id) == 4 + PointerGrowth && offsetof(GdiMapEntry, accepted) == 8 + PointerGrowth);
static_assert(sizeof(GdiDownloadFormat) == 20);
static_assert(offsetof(GdiDownloadFormat, byteCount) == 4 && offsetof(GdiDownloadFormat, start) == 8);
static_assert(FeaturesOffset(4) == 4 + PointerGrowth && FeaturesOffset(152) + 4 == GdiFeaturesSize);

// The records the exports take by value. Each compiler passes them its own
// way, as a C front-end's compiler does: plain bytes with no alignment of
// their own, copied as they are. On i686 each takes whole 4-byte stack slots
// with no padding between it and the next argument (GdiAddress and GdiValue
// 3, GdiDownloadFormat 5, GdiBreakpoint 7).
template <class Record>
constexpr bool PassedByValue = std::is_trivially_copyable_v<Record> && std::is_standard_layout_v<Record> &&
                               alignof(Record) == 1 && sizeof(Record) % 4 == 0;
static_assert(PassedByValue<GdiAddress> && PassedByValue<GdiValue> && PassedByValue<GdiBreakpoint> &&
              PassedByValue<GdiDownloadFormat>);

#if DI_PRODUCT_ABI
// The product's binary contract, by number: every record an export takes or
// fills, its size and the offset of every field.
static_assert(sizeof(GdiAddress) == 12);
static_assert(offsetof(GdiAddress, spaceId) == 0 && offsetof(GdiAddress, address) == 4);
static_assert(sizeof(GdiValue) == 12);
static_assert(offsetof(GdiValue, bytes) == 0 && offsetof(GdiValue, status) == 8);
static_assert(sizeof(GdiBreakpoint) == 28);
static_assert(offsetof(GdiBreakpoint, kind) == 0 && offsetof(GdiBreakpoint, location) == 4 &&
              offsetof(GdiBreakpoint, qualifier) == 16 && offsetof(GdiBreakpoint, notRead) == 20);
static_assert(sizeof(GdiBreakpointResult) == 24);
static_assert(offsetof(GdiBreakpointResult, breakpointId) == 0 && offsetof(GdiBreakpointResult, notTouched) == 4 &&
              offsetof(GdiBreakpointResult, resultWord) == 20);
static_assert(sizeof(GdiExitStatus) == 12);
static_assert(offsetof(GdiExitStatus, cause) == 0 && offsetof(GdiExitStatus, breakpointId) == 4 &&
              offsetof(GdiExitStatus, message) == 8);
static_assert(sizeof(GdiMapEntry) == 12);
static_assert(offsetof(GdiMapEntry, name) == 0 && offsetof(GdiMapEntry, id) == 4 &&
              offsetof(GdiMapEntry, accepted) == 8 && offsetof(GdiMapEntry, notTouched) == 9);
static_assert(sizeof(GdiDownloadFormat) == 20);
static_assert(offsetof(GdiDownloadFormat, format) == 0 && offsetof(GdiDownloadFormat, byteCount) == 4 &&
              offsetof(GdiDownloadFormat, start) == 8);
// The features record: two text pointers, then the fields GetFeatures fills.
static_assert(GdiFeaturesSize == 156);
static_assert(FeaturesOffset(0) == 0 && FeaturesOffset(4) == 4);
static_assert(FeaturesOffset(8) == 8 && FeaturesOffset(37) == 37 && FeaturesOffset(40) == 40 &&
              FeaturesOffset(44) == 44 && FeaturesOffset(48) == 48 && FeaturesOffset(52) == 52 &&
              FeaturesOffset(97) == 97 && FeaturesOffset(100) == 100 && FeaturesOffset(104) == 104 &&
              FeaturesOffset(108) == 108 && FeaturesOffset(109) == 109 && FeaturesOffset(110) == 110 &&
              FeaturesOffset(132) == 132 && FeaturesOffset(148) == 148 && FeaturesOffset(152) == 152);
#endif

// The address bytes of a GdiAddress as one number; the space id takes no part.
inline uint64_t AddressToUInt64(const GdiAddress& address) { return LoadBE64(address.address); }

// A 32-bit word into value bytes 4 to 7, most significant first; bytes 0 to
// 3 become 0.
inline void SpreadWord(GdiValue& value, uint32_t word) {
    for (unsigned n = 0; n < 8; ++n) value.bytes[7 - n] = ExtractByte(n, word);
}

// Value bytes 4 to 7 as a 32-bit word, most significant first.
inline uint32_t GatherWord(const GdiValue& value) { return LoadBE32(value.bytes + 4); }

}  // namespace gdi
