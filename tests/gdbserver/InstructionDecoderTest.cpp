// The data accesses the watchpoints see in a Thumb instruction: every
// addressing form the Cortex-M3 has, with the registers' values applied.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "tools/gdbserver/Watchpoints.h"

namespace {

using gdbserver::DataAccess;
using gdbserver::DecodedInstruction;
using gdbserver::InstructionDecoder;

struct DecodeCase {
    const char* text;
    std::vector<uint8_t> code;  // as in memory
    uint32_t pc;
    std::vector<DataAccess> accesses;
    bool selfBranch = false;
    bool trap = false;
    bool breakpoint = false;
    bool flow = false;  // may leave the straight line
};

constexpr uint32_t kR0 = 0x20000100, kR1 = 0x20000200, kR2 = 3, kR3 = 0x20000300, kSp = 0x20000f00;

std::optional<uint32_t> Registers(int reg) {
    switch (reg) {
        case 0: return kR0;
        case 1: return kR1;
        case 2: return kR2;
        case 3: return kR3;
        case 13: return kSp;
        default: return std::nullopt;  // an instruction that names another register fails the case
    }
}

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, GivesTheAddressSizeAndDirectionOfEachAccess) {
    const DecodeCase& c = GetParam();
    InstructionDecoder decoder;
    const DecodedInstruction decoded = decoder.Decode(c.code.data(), c.code.size(), c.pc);
    ASSERT_TRUE(decoded.known);
    EXPECT_EQ(decoded.size, c.code.size());
    EXPECT_EQ(decoded.selfBranch, c.selfBranch);
    EXPECT_EQ(decoded.trap, c.trap);
    EXPECT_EQ(decoded.breakpoint, c.breakpoint);
    EXPECT_EQ(decoded.flow, c.flow || c.selfBranch || c.trap || c.breakpoint);
    const auto accesses = InstructionDecoder::Resolve(decoded, c.pc, Registers);
    ASSERT_TRUE(accesses.has_value());
    ASSERT_EQ(accesses->size(), c.accesses.size());
    for (std::size_t i = 0; i < c.accesses.size(); ++i) {
        EXPECT_EQ((*accesses)[i].address, c.accesses[i].address) << std::hex << (*accesses)[i].address;
        EXPECT_EQ((*accesses)[i].size, c.accesses[i].size);
        EXPECT_EQ((*accesses)[i].write, c.accesses[i].write);
    }
    EXPECT_EQ(decoded.MayWrite(), !c.accesses.empty() && c.accesses[0].write);
}

INSTANTIATE_TEST_SUITE_P(
    Thumb, Decoding,
    ::testing::Values(
        DecodeCase{"str_imm", {0x1a, 0x60}, 0, {{kR3, 4, true}}},
        DecodeCase{"ldr_literal", {0x04, 0x49}, 2, {{0x14, 4, false}}},  // (pc + 4) & ~3, + 16
        DecodeCase{"strb_register", {0x88, 0x54}, 4, {{kR1 + kR2, 1, true}}},
        DecodeCase{"ldrh_negative", {0x31, 0xf8, 0x02, 0x0c}, 6, {{kR1 - 2, 2, false}}},
        DecodeCase{"ldr_shifted_index", {0x51, 0xf8, 0x22, 0x00}, 0xa, {{kR1 + (kR2 << 2), 4, false}}},
        DecodeCase{"push", {0x30, 0xb5}, 0xe, {{kSp - 12, 12, true}}},
        DecodeCase{"pop_pc", {0x10, 0xbd}, 0x10, {{kSp, 8, false}}, false, false, false, true},
        DecodeCase{"ldmia", {0x0e, 0xc8}, 0x12, {{kR0, 12, false}}},
        DecodeCase{"stmdb", {0x20, 0xe9, 0x06, 0x00}, 0x14, {{kR0 - 8, 8, true}}},
        DecodeCase{"ldrd", {0xd0, 0xe9, 0x02, 0x23}, 0x18, {{kR0 + 8, 8, false}}},
        DecodeCase{"ldr_post_indexed", {0x51, 0xf8, 0x04, 0x0b}, 0x1c, {{kR1, 4, false}}},
        DecodeCase{"ldr_pre_indexed", {0x51, 0xf8, 0x04, 0x0f}, 0x20, {{kR1 + 4, 4, false}}},
        DecodeCase{"tbb", {0xd0, 0xe8, 0x01, 0xf0}, 0x24, {{kR0 + kR1, 1, false}}, false, false, false, true},
        DecodeCase{"tbh", {0xd0, 0xe8, 0x11, 0xf0}, 0x28, {{kR0 + 2 * kR1, 2, false}}, false, false, false, true},
        DecodeCase{"strex", {0x42, 0xe8, 0x01, 0x10}, 0x2c, {{kR2 + 4, 4, true}}},
        DecodeCase{"no_access", {0x01, 0x30}, 0x30, {}},
        DecodeCase{"bx_lr", {0x70, 0x47}, 0x30, {}, false, false, false, true},
        DecodeCase{"bl", {0xff, 0xf7, 0xe0, 0xff}, 0xe0, {}, false, false, false, true},
        DecodeCase{"mov_pc", {0xf7, 0x46}, 0x30, {}, false, false, false, true},
        DecodeCase{"cbz", {0x00, 0xb1}, 0x30, {}, false, false, false, true},
        DecodeCase{"branch_to_itself", {0xfe, 0xe7}, 0x32, {}, true},
        DecodeCase{"semihosting_call", {0xab, 0xbe}, 0x34, {}, false, true},
        DecodeCase{"other_bkpt", {0x01, 0xbe}, 0x36, {}, false, false, true},
        DecodeCase{"ldr_negative_wide", {0x51, 0xf8, 0x08, 0x0c}, 0x38, {{kR1 - 8, 4, false}}},
        DecodeCase{"strh_sp", {0xad, 0xf8, 0x06, 0x30}, 0x3c, {{kSp + 6, 2, true}}},
        DecodeCase{"ldrsb_negative_pre_indexed", {0x11, 0xf9, 0x01, 0x0d}, 0x40, {{kR1 - 1, 1, false}}}),
    [](const auto& info) { return std::string(info.param.text); });

}  // namespace
