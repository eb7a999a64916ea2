// GDI records: the byte-order helpers, the features record and the family
// named by the front-end's path.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <vector>

#include "gdi/GDI.h"
#include "gdi/GdiRecords.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;

namespace {

using Bytes8 = std::array<uint8_t, 8>;

TEST(GdiRecords, AddressIsBigEndianAndIgnoresTheSpaceId) {
    const struct {
        uint32_t spaceId;
        Bytes8 bytes;
        uint64_t expected;
    } cases[] = {
        {0, {0, 0, 0, 0, 0, 1, 0, 0}, 65536},
        {0xFFFFFFFF, {0, 0, 0, 0, 0, 1, 0, 0}, 65536},
        {7, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, UINT64_MAX},
        {1, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, 0x0102030405060708ull},
        {2, {0x80, 0, 0, 0, 0, 0, 0, 0x01}, 0x8000000000000001ull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.expected << " space " << c.spaceId);
        GdiAddress address;
        StoreLE32(address.spaceId, c.spaceId);
        std::memcpy(address.address, c.bytes.data(), 8);
        EXPECT_EQ(AddressToUInt64(address), c.expected);
    }
}

TEST(GdiRecords, ExtractByteCountsFromTheLeastSignificantAndHasNoUpperBytes) {
    const uint8_t expected[8] = {0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0};
    for (unsigned n = 0; n < 8; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(ExtractByte(n, 0xA1B2C3D4), expected[n]);
    }
    EXPECT_EQ(ExtractByte(4, 0xFFFFFFFF), 0);
}

TEST(GdiRecords, SpreadWordFillsBytesFourToSevenAndClearsTheRest) {
    const struct {
        uint32_t word;
        Bytes8 expected;
    } cases[] = {
        {0x01020304, {0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04}},
        {258, {0, 0, 0, 0, 0, 0, 0x01, 0x02}},
        {0xFFFFFFFF, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        GdiValue value = Filled(0xA5);
        SpreadWord(value, c.word);
        EXPECT_EQ(BytesOf(value), c.expected);
        EXPECT_EQ(StatusOf(value), 0xA5A5A5A5u) << "the status is not the helper's business";
    }
}

TEST(GdiRecords, GatherWordReadsBytesFourToSevenOnly) {
    const struct {
        Bytes8 bytes;
        uint32_t expected;
    } cases[] = {
        {{0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04}, 0x01020304},
        {{0xFF, 0xEE, 0xDD, 0xCC, 0x01, 0x02, 0x03, 0x04}, 0x01020304},
        {{0x12, 0x34, 0x56, 0x78, 0, 0, 0, 0}, 0},
        {{0, 0, 0, 0, 0x80, 0, 0, 0x01}, 0x80000001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.expected);
        EXPECT_EQ(GatherWord(Value(c.bytes, 0xFFFFFFFF)), c.expected);
    }
}

TEST(GdiRecords, DetectCpuFamilyTakesTheFirstPatternInItsOwnOrder) {
    const struct {
        const char* path;
        CpuFamily expected;
    } cases[] = {
        {"C:\\Tools\\qdv51.exe", Family51},
        {"C:\\Tools\\qdvlx8.exe", FamilyLx8},
        {"C:\\Tools\\qdvz80.exe", FamilyZ80},
        {"C:\\Tools\\qdvlx32.exe", FamilyLx32},
        {"C:\\Tools\\qdvppc.exe", FamilyPpc},
        {"C:\\Tools\\qdvmb.exe", FamilyMicroBlaze},
        {"C:\\Tools\\qdvnios.exe", FamilyNios},
        {"C:\\Tools\\qdvarm.exe", FamilyArm},
        {"/opt/qdvarm/bin/debugger", FamilyArm},
        // Case-sensitive.
        {"C:\\TOOLS\\QDVARM.EXE", FamilyLx32},
        // The order of the patterns decides, not their position in the path.
        {"C:\\qdv51\\qdvarm.exe", Family51},
        {"C:\\qdvarm\\qdv51.exe", Family51},
        {"C:\\qdvz80\\qdvnios.exe", FamilyNios},
        {"C:\\qdvmb\\qdvppc.exe", FamilyPpc},
        {"C:\\qdvlx32\\qdvlx8.exe", FamilyLx8},
        // No pattern, empty or absent path.
        {"C:\\Tools\\debugger.exe", FamilyLx32},
        {"qdv", FamilyLx32},
        {"", FamilyLx32},
        {nullptr, FamilyLx32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        EXPECT_EQ(DetectCpuFamily(c.path), c.expected);
    }
}

// ---- Features ----------------------------------------------------------------

struct FeaturesCase {
    const char* path;
    bool arm;
};

void PrintTo(const FeaturesCase& c, std::ostream* os) { *os << c.path; }

class GdiFeaturesTest : public GdiSessionTest, public testing::WithParamInterface<FeaturesCase> {};

TEST_P(GdiFeaturesTest, OverwritesEveryByteWithTheFixedLayout) {
    const FeaturesCase c = GetParam();
    constexpr std::size_t guard = 8;
    std::vector<uint8_t> features(GdiFeaturesSize + guard, 0xCD);

    const char* argv[] = {c.path, "CPU"};
    ASSERT_EQ(DiGdiOpen(0, 0, 2, argv, nullptr), GdiOk);
    ASSERT_EQ(DiGdiGetFeatures(features.data()), GdiOk);

    // Every byte not listed here is 0, garbage before the call included.
    std::vector<uint8_t> expected(GdiFeaturesSize, 0);
    const struct {
        std::size_t offset;
        unsigned width;
        uint32_t value;
    } fields[] = {
        {8, 4, 1},
        {37, 1, 1},
        {40, 4, 1},
        {44, 4, 7},
        {48, 4, c.arm ? 128u : 0u},
        {52, 4, c.arm ? 1024u : 0u},
        {97, 1, 1},
        {100, 4, 0x7FFFFFFF},
        {104, 4, 0x7FFFFFFF},
        {108, 1, 1},
        {109, 1, 1},
        {110, 1, 1},
        {132, 1, 1},
        {148, 1, 1},
    };
    for (const auto& f : fields) {
        uint8_t* at = expected.data() + FeaturesOffset(f.offset);
        if (f.width == 4)
            StoreLE32(at, f.value);
        else
            *at = static_cast<uint8_t>(f.value);
    }
    const char* name = nullptr;
    const char* version = nullptr;
    std::memcpy(&name, features.data() + FeaturesOffset(0), sizeof name);
    std::memcpy(&version, features.data() + FeaturesOffset(4), sizeof version);
    StorePointer(expected.data() + FeaturesOffset(0), name);
    StorePointer(expected.data() + FeaturesOffset(4), version);

    for (std::size_t i = 0; i < GdiFeaturesSize; ++i) {
        SCOPED_TRACE(testing::Message() << "byte " << i);
        EXPECT_EQ(features[i], expected[i]);
    }
    for (std::size_t i = GdiFeaturesSize; i < features.size(); ++i) EXPECT_EQ(features[i], 0xCD) << "byte " << i;

    // The texts lie in the module's constant data and outlive the instance.
    ASSERT_EQ(DiGdiClose(0), GdiOk);
    ASSERT_NE(name, nullptr);
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(name, "ORX GDI");
    EXPECT_STREQ(version, "1.0");
}

INSTANTIATE_TEST_SUITE_P(Gdi, GdiFeaturesTest,
                         testing::Values(FeaturesCase{"C:\\Tools\\qdvarm.exe", true},
                                         FeaturesCase{"C:\\Tools\\qdvlx32.exe", false},
                                         FeaturesCase{"C:\\TOOLS\\QDVARM.EXE", false},
                                         FeaturesCase{"C:\\qdv51\\qdvarm.exe", false}));

}  // namespace
