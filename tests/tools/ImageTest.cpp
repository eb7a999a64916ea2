// Program images: Intel HEX records, the firmware's ELF file read with
// libelf, and symbols.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/Boards.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"

using namespace orxdbg;

namespace {

// One Intel HEX record with its checksum.
std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    std::string text = ":";
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text + "\n";
}
const std::string kEnd = Record(0x01, 0, {});

TEST(IntelHex, ExtendedAddressesPlaceDataAndAdjacentRecordsMerge) {
    const std::string text = Record(0x00, 0x0100, {1, 2, 3}) + Record(0x00, 0x0103, {4}) +  // contiguous
                             Record(0x04, 0, {0x20, 0x00}) + Record(0x00, 0x0010, {0xAA, 0xBB}) +
                             Record(0x02, 0, {0x10, 0x00}) + Record(0x00, 0x0002, {0xCC}) + kEnd;
    Image image;
    std::string error;
    ASSERT_TRUE(ParseIntelHex(text, image, error)) << error;
    ASSERT_EQ(image.segments.size(), 3u);
    EXPECT_EQ(image.segments[0].address, 0x100u);
    EXPECT_EQ(image.segments[0].bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(image.segments[1].address, 0x20000010u);
    EXPECT_EQ(image.segments[1].bytes, (std::vector<uint8_t>{0xAA, 0xBB}));
    EXPECT_EQ(image.segments[2].address, 0x10002u) << "segment 0x1000 starts at 0x10000";
    EXPECT_EQ(image.ByteCount(), 7u);
}

TEST(IntelHex, RecordsAfterTheEndAreIgnored) {
    Image image;
    std::string error;
    ASSERT_TRUE(ParseIntelHex(Record(0x00, 0, {7}) + kEnd + Record(0x00, 0x10, {8}), image, error)) << error;
    ASSERT_EQ(image.segments.size(), 1u);
    EXPECT_EQ(image.ByteCount(), 1u);
}

struct BadHex {
    std::string text;
    const char* expected;
};

class BadHexFiles : public ::testing::TestWithParam<BadHex> {};

TEST_P(BadHexFiles, AreRejectedWithTheReason) {
    Image image;
    std::string error;
    EXPECT_FALSE(ParseIntelHex(GetParam().text, image, error));
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

std::string Corrupt(std::string record, std::size_t at, char c) {
    record[at] = c;
    return record;
}

INSTANTIATE_TEST_SUITE_P(
    IntelHex, BadHexFiles,
    ::testing::Values(BadHex{"0300000001020304\n" + kEnd, "line 1: a record must start with ':'"},
                      BadHex{Record(0x00, 0, {1, 2}) + Corrupt(Record(0x00, 2, {3}), 9, '7') + kEnd,
                             "line 2: bad checksum"},
                      BadHex{Corrupt(Record(0x00, 0, {1}), 9, 'G') + kEnd, "'G"},
                      BadHex{":0200000001F\n" + kEnd, "line 1: truncated record"},
                      BadHex{":0300000001FC\n" + kEnd, "does not match its byte count"},
                      BadHex{Record(0x06, 0, {1}) + kEnd, "unknown record type 6"},
                      BadHex{Record(0x04, 0, {1}) + kEnd, "two bytes"},
                      BadHex{Record(0x00, 0, {1}), "no end-of-file record"},
                      BadHex{kEnd, "no data records"}));

TEST(Symbols, DescribeNamesTheSymbolThatCoversTheAddress) {
    SymbolTable symbols;
    symbols.Add({"main", 0xC4, 0x14});
    symbols.Add({"table", 0x20000000, 64});
    symbols.Add({"_sbss", 0x20000000, 0});  // a label at the same address
    symbols.Add({"_estack", 0x20010000, 0});
    EXPECT_EQ(symbols.Describe(0xC4), "main");
    EXPECT_EQ(symbols.Describe(0xCA), "main+0x6");
    EXPECT_EQ(symbols.Describe(0xD8), "") << "one past the end of main";
    EXPECT_EQ(symbols.Describe(0x2000003C), "table+0x3c");
    EXPECT_EQ(symbols.Describe(0x20000000), "table") << "a sized symbol wins over a label";
    EXPECT_EQ(symbols.Describe(0x20010000), "_estack");
    EXPECT_EQ(symbols.Describe(0x20000040), "");
}

// ---- The sample firmware -----------------------------------------------------

class FirmwareImage : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(DIORX_FIRMWARE_ELF).empty()) GTEST_SKIP() << "the firmware is not built";
    }
};

uint32_t Le32(const std::vector<uint8_t>& bytes, std::size_t at) {
    return uint32_t(bytes.at(at)) | uint32_t(bytes.at(at + 1)) << 8 | uint32_t(bytes.at(at + 2)) << 16 |
           uint32_t(bytes.at(at + 3)) << 24;
}

TEST_F(FirmwareImage, ElfGivesTheVectorTableAtZeroAndThumbSymbolsAtEvenAddresses) {
    Image image;
    std::string error;
    ASSERT_TRUE(LoadImageFile(DIORX_FIRMWARE_ELF, image, error)) << error;
    ASSERT_FALSE(image.segments.empty());
    const Segment& code = image.segments.front();
    EXPECT_EQ(code.address, 0u);

    const Symbol* reset = image.symbols.Find("Reset_Handler");
    const Symbol* compute = image.symbols.Find("compute_table");
    const Symbol* table = image.symbols.Find("table");
    ASSERT_TRUE(reset && compute && table);
    // Vector 1 holds the reset handler with the Thumb bit; the symbol is the
    // instruction address.
    EXPECT_EQ(Le32(code.bytes, 4), reset->address | 1);
    EXPECT_EQ(reset->address % 2, 0u);
    EXPECT_EQ(compute->address % 2, 0u);
    ASSERT_TRUE(image.entry.has_value());
    EXPECT_EQ(*image.entry, reset->address);
    EXPECT_EQ(table->size, 16u * 4) << "sixteen 32-bit entries";
    EXPECT_EQ(image.symbols.Find("$t"), nullptr) << "mapping symbols are not names";
}

TEST_F(FirmwareImage, ElfAndHexOfTheFirmwareCarryTheSameBytes) {
    Image elf, hex;
    std::string error;
    ASSERT_TRUE(LoadImageFile(DIORX_FIRMWARE_ELF, elf, error)) << error;
    ASSERT_TRUE(LoadImageFile(DIORX_FIRMWARE_HEX, hex, error)) << error;
    ASSERT_EQ(elf.segments.size(), hex.segments.size());
    for (std::size_t i = 0; i < elf.segments.size(); ++i) {
        EXPECT_EQ(elf.segments[i].address, hex.segments[i].address) << i;
        EXPECT_EQ(elf.segments[i].bytes, hex.segments[i].bytes) << i;
    }
    EXPECT_TRUE(hex.symbols.Empty());
}

// Only what the Cortex-M can run loads: 32-bit little-endian ARM. The cases
// are the firmware with its header changed, and this test program itself.
struct ForeignElf {
    const char* name;
    std::size_t offset;  // of the byte changed in the firmware, or 0: this program
    uint8_t value;
    const char* expected;
};

class ForeignElfFiles : public FirmwareImage, public ::testing::WithParamInterface<ForeignElf> {};

TEST_P(ForeignElfFiles, AreRefusedWithTheReason) {
    const ForeignElf& c = GetParam();
    std::string path = "/proc/self/exe";
    if (c.offset != 0) {
        std::ifstream in(DIORX_FIRMWARE_ELF, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(bytes.size(), c.offset);
        bytes[c.offset] = static_cast<char>(c.value);
        path = ::testing::TempDir() + "orxdbg_" + c.name + ".elf";
        std::ofstream(path, std::ios::binary) << bytes;
    }
    Image image;
    std::string error;
    EXPECT_FALSE(LoadImageFile(path, image, error)) << c.name;
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_NE(error.find("only 32-bit little-endian ARM images can be loaded"), std::string::npos) << error;
    EXPECT_TRUE(image.segments.empty());
    if (c.offset != 0) std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    FirmwareImage, ForeignElfFiles,
    ::testing::Values(ForeignElf{"x86_64_program", 0, 0, "a 64-bit ELF file for x86-64 (machine 62)"},
                      ForeignElf{"x86", 18, 3, "an ELF file for x86 (machine 3)"},  // e_machine
                      ForeignElf{"big_endian", 5, 2, "a big-endian ELF file"}),      // EI_DATA
    [](const auto& info) { return std::string(info.param.name); });

// On another board the Cortex-M firmware is refused with the names of both
// families: the file's machine and the board's.
TEST(ImageFile, AnotherFamilysElfIsNamedOnEachBoard) {
    const struct {
        const char* board;
        const char* expected;
    } cases[] = {
        {"qemu:virtex-ml507",
         "is a little-endian ELF file for ARM (machine 40): only 32-bit big-endian PowerPC images can be loaded"},
        {"qemu:10m50-ghrd", "is an ELF file for ARM (machine 40): only 32-bit little-endian Nios II images can be loaded"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.board);
        SetCurrentBoard(*sim::FindBoard(c.board));
        Image image;
        std::string error;
        EXPECT_FALSE(LoadImageFile(DIORX_FIRMWARE_ELF, image, error));
        SetCurrentBoard(sim::DefaultBoard());
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(ImageFile, NeitherElfNorHexIsRejected) {
    const std::string path = ::testing::TempDir() + "orxdbg_not_an_image.txt";
    std::ofstream(path) << "hello\n";
    Image image;
    std::string error;
    EXPECT_FALSE(LoadImageFile(path, image, error));
    EXPECT_NE(error.find("neither an ELF file nor an Intel HEX file"), std::string::npos) << error;
    std::remove(path.c_str());
}

}  // namespace
