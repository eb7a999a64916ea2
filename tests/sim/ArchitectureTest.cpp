// The boards' architecture descriptors: what every tool relies on without
// checking (a PC and an SP to find, names that pick one register, aliases
// that land on a register, a breakpoint kind for QEMU's stub, a vector table
// in memory where reset reads one), and the operations that differ between
// families.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <string>

#include "sim/Boards.h"

namespace {

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool Covered(const std::vector<sim::BoardRegion>& regions, uint64_t address, uint64_t size) {
    for (const sim::BoardRegion& r : regions)
        if (address >= r.base && address - r.base + size <= r.size) return true;
    return false;
}

TEST(Architectures, EveryBoardsDescriptorAnswersConsistently) {
    for (const sim::Board& board : sim::Boards()) {
        SCOPED_TRACE(board.name);
        const sim::Architecture& arch = board.arch;

        // Each role the tools look up is found, and only once: a second PC
        // would never be read.
        for (sim::RegisterRole role : {sim::RegisterRole::Pc, sim::RegisterRole::Sp, sim::RegisterRole::Status,
                                       sim::RegisterRole::Lr}) {
            int found = 0;
            for (const sim::BoardRegister& r : arch.registers) found += r.role == role;
            EXPECT_LE(found, 1) << "role " << static_cast<int>(role);
            if (role != sim::RegisterRole::Lr) {
                EXPECT_EQ(found, 1) << "role " << static_cast<int>(role);
            }
        }

        // A name (any case) names one register; an alias names a register of
        // the table and hides none of them.
        std::set<std::string> names;
        for (const sim::BoardRegister& r : arch.registers) EXPECT_TRUE(names.insert(Upper(r.name)).second) << r.name;
        for (const sim::RegisterAlias& alias : arch.aliases) {
            EXPECT_EQ(names.count(Upper(alias.name)), 0u) << alias.name << " hides a register";
            EXPECT_TRUE(arch.FindRegister(alias.name).has_value()) << alias.name << " names no register";
        }

        // QEMU's stub and gdb address registers by number: one each.
        std::set<uint32_t> numbers;
        for (const sim::BoardRegister& r : arch.registers)
            EXPECT_TRUE(numbers.insert(r.gdbNumber).second) << r.name << " number " << r.gdbNumber;
        if (board.kind == sim::CoreKind::Qemu || *arch.gdbArchitecture) {
            EXPECT_NE(arch.GdbBreakpointKind(), 0u) << "no kind for a Z0 packet";
            for (const sim::BoardRegister& r : arch.registers) EXPECT_STRNE(r.gdbName, "") << r.name;
        }

        // A reset that reads the vector table needs its SP and reset vector in memory.
        if (arch.reset == sim::ResetRule::VectorTable) {
            EXPECT_TRUE(Covered(board.regions, 0, 8));
        }
        EXPECT_TRUE(Covered(board.regions, board.codeBase, 4)) << "code base " << board.codeBase;
        // A PC write keeps the processor executing: it needs the status register.
        if (arch.executionStateBits) {
            EXPECT_GE(arch.RegisterIndex(sim::RegisterRole::Status), 0);
        }
        // Semihosting calls are the program's own breakpoint instruction.
        if (arch.semihosting) {
            EXPECT_NE(arch.trapSize, 0u);
        }

        EXPECT_STRNE(arch.designator, "");
        // ELF files are checked against the board's machine; the 8-bit ones load Intel HEX.
        if (arch.elfMachine) {
            EXPECT_EQ(sim::ArchitectureForElfMachine(arch.elfMachine), &arch);
        }
    }
}

// The front-end path's name selects the family: no two families share one.
TEST(Architectures, FrontEndPathsSelectOneFamilyEach) {
    std::set<std::string> stems;
    for (const sim::Architecture* arch : sim::Architectures()) {
        std::string path = arch->frontEndPath;
        const std::string stem = Upper(std::filesystem::path(path.substr(path.find_last_of('\\') + 1)).stem().string());
        EXPECT_TRUE(stems.insert(stem).second) << arch->name << ": " << stem;
    }
}

// A register name on one family is not an alias on another: R13 is SP on
// ARM but a register of its own where there are 32.
TEST(Architectures, RegisterNamesAndAliasesResolvePerFamily) {
    const struct {
        const char* board;
        const char* name;
        const char* resolves;  // the register's own name; null: none
    } cases[] = {
        {"cortexm", "r13", "SP"},        {"cortexm", "R15", "PC"},          {"cortexm", "xpsr", "XPSR"},
        {"cortexm", "R16", nullptr},     {"qemu:virtex-ml507", "R13", "R13"}, {"qemu:virtex-ml507", "r31", "R31"},
        {"qemu:virtex-ml507", "XPSR", nullptr}, {"qemu:10m50-ghrd", "R15", "R15"},
        {"z80", "af'", "AF'"},          {"z80", "R13", nullptr},           {"8051", "r7", "R7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.board) + " " + c.name);
        const sim::Architecture& arch = sim::FindBoard(c.board)->arch;
        const auto id = arch.FindRegister(c.name);
        if (!c.resolves) {
            EXPECT_FALSE(id.has_value());
            continue;
        }
        ASSERT_TRUE(id.has_value());
        EXPECT_STREQ(arch.registers[static_cast<std::size_t>(*id)].name, c.resolves);
    }
}

// What differs between families in the operations: the instruction's own
// address, the Z0 kinds gdb may send, the program's breakpoint instruction,
// the exception-return values of a link register.
TEST(Architectures, OperationsFollowTheFamily) {
    const sim::Architecture& arm = sim::kArmCortexM;
    const sim::Architecture& ppc = sim::kPowerPc;
    EXPECT_EQ(arm.InstructionAddress(uint32_t{0x00000101}), 0x00000100u);
    EXPECT_EQ(arm.InstructionAddress(uint64_t{0x20000003}), 0x20000002u);
    EXPECT_EQ(ppc.InstructionAddress(uint32_t{0x00001001}), 0x00001001u);

    EXPECT_TRUE(arm.AcceptsGdbBreakpointKind(2));
    EXPECT_TRUE(arm.AcceptsGdbBreakpointKind(3));
    EXPECT_FALSE(arm.AcceptsGdbBreakpointKind(4));
    EXPECT_TRUE(ppc.AcceptsGdbBreakpointKind(4));
    EXPECT_FALSE(ppc.AcceptsGdbBreakpointKind(2));

    const uint8_t bkpt[] = {0xab, 0xbe}, nop[] = {0x00, 0xbf};
    EXPECT_TRUE(arm.IsTrap(bkpt));
    EXPECT_FALSE(arm.IsTrap(nop));
    EXPECT_FALSE(arm.IsTrap(std::span<const uint8_t>(bkpt, 1)));  // too short to be one
    EXPECT_FALSE(ppc.IsTrap(bkpt));

    EXPECT_TRUE(arm.IsExceptionReturn(0xFFFFFFF9));
    EXPECT_FALSE(arm.IsExceptionReturn(0x000000EF));
    // PowerPC's flash lies up there: a return address into it is one.
    EXPECT_FALSE(ppc.IsExceptionReturn(0xFC000104));
}

}  // namespace
