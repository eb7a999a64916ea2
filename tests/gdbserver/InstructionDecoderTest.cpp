// The data accesses the watchpoints see in an instruction, with the
// registers' values applied: every addressing form the Cortex-M3 has in
// Thumb-2, and the PowerPC 440's loads and stores (big-endian).
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "sim/Architecture.h"
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

void ExpectDecoded(const sim::Architecture& arch, const DecodeCase& c, std::optional<uint32_t> (*registers)(int)) {
    InstructionDecoder decoder(arch);
    ASSERT_TRUE(decoder.Decodes());
    const DecodedInstruction decoded = decoder.Decode(c.code.data(), c.code.size(), c.pc);
    ASSERT_TRUE(decoded.known);
    EXPECT_EQ(decoded.size, c.code.size());
    EXPECT_EQ(decoded.selfBranch, c.selfBranch);
    EXPECT_EQ(decoded.trap, c.trap);
    EXPECT_EQ(decoded.breakpoint, c.breakpoint);
    EXPECT_EQ(decoded.flow, c.flow || c.selfBranch || c.trap || c.breakpoint);
    const auto accesses = InstructionDecoder::Resolve(decoded, c.pc, registers);
    ASSERT_TRUE(accesses.has_value());
    ASSERT_EQ(accesses->size(), c.accesses.size());
    for (std::size_t i = 0; i < c.accesses.size(); ++i) {
        EXPECT_EQ((*accesses)[i].address, c.accesses[i].address) << std::hex << (*accesses)[i].address;
        EXPECT_EQ((*accesses)[i].size, c.accesses[i].size);
        EXPECT_EQ((*accesses)[i].write, c.accesses[i].write);
    }
    EXPECT_EQ(decoded.MayWrite(), !c.accesses.empty() && c.accesses[0].write);
}

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, GivesTheAddressSizeAndDirectionOfEachAccess) {
    ExpectDecoded(sim::kArmCortexM, GetParam(), Registers);
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

namespace {

// The PowerPC's general registers by the board's ids (r0..r31 are 0..31). r0
// holds a value of its own: as rA of a load or store it must read as 0. r15
// is an ordinary register (no literal pool relative to the PC here).
constexpr uint32_t kP0 = 0x55, kP1 = 0x7ff0, kP4 = 0x2000, kP5 = 0x2c, kP15 = 0x9000;

std::optional<uint32_t> PpcRegisters(int reg) {
    switch (reg) {
        case 0: return kP0;
        case 1: return kP1;
        case 4: return kP4;
        case 5: return kP5;
        case 15: return kP15;
        default: return std::nullopt;  // an instruction that names another register fails the case
    }
}

class PowerPcDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PowerPcDecoding, GivesTheAddressSizeAndDirectionOfEachAccess) {
    ExpectDecoded(sim::kPowerPc, GetParam(), PpcRegisters);
}

INSTANTIATE_TEST_SUITE_P(
    PowerPc, PowerPcDecoding,
    ::testing::Values(
        DecodeCase{"lwz", {0x80, 0x64, 0x00, 0x08}, 0x1000, {{kP4 + 8, 4, false}}},
        DecodeCase{"lwz_r0_base_is_zero", {0x80, 0x60, 0x00, 0x08}, 0x1000, {{8, 4, false}}},
        DecodeCase{"lwz_r15_base", {0x80, 0x6f, 0x00, 0x04}, 0x1000, {{kP15 + 4, 4, false}}},
        DecodeCase{"stwu_negative", {0x94, 0x21, 0xff, 0xf0}, 0x1004, {{kP1 - 16, 4, true}}},
        DecodeCase{"lwzu", {0x84, 0x64, 0x00, 0x08}, 0x1008, {{kP4 + 8, 4, false}}},
        DecodeCase{"lha", {0xa8, 0x64, 0x00, 0x02}, 0x100c, {{kP4 + 2, 2, false}}},
        DecodeCase{"lhz", {0xa0, 0x64, 0x00, 0x02}, 0x1010, {{kP4 + 2, 2, false}}},
        DecodeCase{"lbz", {0x88, 0x64, 0x00, 0x01}, 0x1014, {{kP4 + 1, 1, false}}},
        DecodeCase{"stb", {0x98, 0x64, 0x00, 0x01}, 0x1018, {{kP4 + 1, 1, true}}},
        DecodeCase{"sth", {0xb0, 0x64, 0x00, 0x02}, 0x101c, {{kP4 + 2, 2, true}}},
        DecodeCase{"stw", {0x90, 0x64, 0x00, 0x04}, 0x1020, {{kP4 + 4, 4, true}}},
        DecodeCase{"lwzx", {0x7c, 0x64, 0x28, 0x2e}, 0x1024, {{kP4 + kP5, 4, false}}},
        DecodeCase{"lwzx_r0_base_is_zero", {0x7c, 0x60, 0x28, 0x2e}, 0x1028, {{kP5, 4, false}}},
        DecodeCase{"stbx", {0x7c, 0x64, 0x29, 0xae}, 0x102c, {{kP4 + kP5, 1, true}}},
        DecodeCase{"lwzux", {0x7c, 0x64, 0x28, 0x6e}, 0x1030, {{kP4 + kP5, 4, false}}},
        DecodeCase{"lwbrx", {0x7c, 0x64, 0x2c, 0x2c}, 0x1034, {{kP4 + kP5, 4, false}}},
        DecodeCase{"stwbrx_r0_index_is_a_register", {0x7c, 0x64, 0x05, 0x2c}, 0x1038, {{kP4 + kP0, 4, true}}},
        DecodeCase{"stwcx", {0x7c, 0x64, 0x29, 0x2d}, 0x103c, {{kP4 + kP5, 4, true}}},
        DecodeCase{"lmw_r28_to_r31", {0xbb, 0x81, 0x00, 0x10}, 0x1040, {{kP1 + 16, 16, false}}},
        DecodeCase{"stmw_r30_to_r31", {0xbf, 0xc1, 0xff, 0xf8}, 0x1044, {{kP1 - 8, 8, true}}},
        DecodeCase{"dcbz_the_whole_line", {0x7c, 0x04, 0x2f, 0xec}, 0x1048, {{(kP4 + kP5) & ~31u, 32, true}}},
        DecodeCase{"dcbz_r0_base_is_zero", {0x7c, 0x00, 0x2f, 0xec}, 0x104c, {{kP5 & ~31u, 32, true}}},
        DecodeCase{"no_access", {0x38, 0x63, 0x00, 0x01}, 0x1050, {}},
        DecodeCase{"mtspr_dec", {0x7c, 0x16, 0x03, 0xa6}, 0x1054, {}},
        DecodeCase{"b", {0x48, 0x00, 0x00, 0x10}, 0x1058, {}, false, false, false, true},
        DecodeCase{"bl", {0x48, 0x00, 0x00, 0x11}, 0x105c, {}, false, false, false, true},
        DecodeCase{"bne", {0x40, 0x82, 0xff, 0xf0}, 0x1060, {}, false, false, false, true},
        DecodeCase{"blr", {0x4e, 0x80, 0x00, 0x20}, 0x1064, {}, false, false, false, true},
        DecodeCase{"bctr", {0x4e, 0x80, 0x04, 0x20}, 0x1068, {}, false, false, false, true},
        DecodeCase{"rfi", {0x4c, 0x00, 0x00, 0x64}, 0x106c, {}, false, false, false, true},
        DecodeCase{"sc", {0x44, 0x00, 0x00, 0x02}, 0x1070, {}, false, false, false, true},
        DecodeCase{"tweqi", {0x0c, 0x83, 0x00, 0x00}, 0x1074, {}, false, false, false, true},
        DecodeCase{"branch_to_itself", {0x48, 0x00, 0x00, 0x00}, 0x1078, {}, true},
        DecodeCase{"trap_is_a_breakpoint", {0x7f, 0xe0, 0x00, 0x08}, 0x107c, {}, false, false, true}),
    [](const auto& info) { return std::string(info.param.text); });

// What is not decoded is judged afterwards by the watched bytes: it is not
// known, and may have written. The 440 has no FPU (its floating loads and
// stores raise an interrupt), and the string moves are left to the value.
TEST(PowerPcDecoding, LeavesWhatItCannotResolveToTheWatchedBytes) {
    const struct {
        const char* text;
        std::vector<uint8_t> code;
    } cases[] = {
        {"stfs", {0xd0, 0x24, 0x00, 0x08}},
        {"lfd", {0xc8, 0x24, 0x00, 0x08}},
        {"stswi", {0x7c, 0x64, 0x45, 0xaa}},
        {"not an instruction", {0x00, 0x00, 0x00, 0x00}},
        {"short", {0x90, 0x64}},
    };
    InstructionDecoder decoder(sim::kPowerPc);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const DecodedInstruction decoded = decoder.Decode(c.code.data(), c.code.size(), 0x1000);
        EXPECT_FALSE(decoded.known);
        EXPECT_TRUE(decoded.MayWrite());
        EXPECT_EQ(decoded.size, 4u);
    }
}

}  // namespace
