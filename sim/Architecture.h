// The processor architectures the boards use, each one constant: what the
// simulated host, orxdbg and its GDB server need to know about a processor
// family, as data and a few operations, so that no tool asks "is this ARM?"
// itself.
//
// An Architecture says how the family is selected (front-end path, the
// designator a front-end opens), which files it runs (ELF machine, byte
// order), its registers (names, order, roles, QEMU's and gdb's numbers,
// aliases), how breakpoints are asked for (GDI qualifier, gdb's Z-packet
// kinds, the address bits that are not part of an instruction's address),
// how a reset finds the program, how the status register reads, what the
// help texts call it, whether its programs make semihosting calls, and what
// gdb calls it. A board (sim/Boards.h) adds its machine: memory, peripherals,
// the core that runs it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

enum class RegisterRole { General, Pc, Sp, Lr, Status };

struct BoardRegister {
    const char* name;    // as the host's processor names it (the register map uses it)
    const char* gdbName; // in gdb's target description
    uint32_t gdbNumber;  // QEMU's register number (p/P, position in g/G); gdb's too
    RegisterRole role = RegisterRole::General;
    // What QEMU keeps of a debugger's write, as measured on each machine:
    // the value with these bits clear (Cortex-M's SP and PC, MicroBlaze's
    // r0, which stays zero) ...
    uint32_t writeClears = 0;
    // ... or, where the processor keeps some fields by rules of its own
    // (status registers, PowerPC's XER), a value only a read shows.
    bool writeNeedsRead = false;
};

// Another name for a register of the table (ARM's R13..R15 for SP, LR, PC).
struct RegisterAlias {
    const char* name;
    const char* registerName;
};

// The instruction set, for the tools that decode it (disassembly, the GDB
// server's data-access decoding).
enum class InstructionSet { Thumb, PowerPC, MicroBlaze, Nios2, Z80, Mcs51 };

// Where a reset leaves the program counter.
enum class ResetRule {
    VectorTable,  // the processor reads it from its vector table (SP too)
    ImageEntry,   // nothing does: the debugger puts the pc at the loaded image's entry point
    ResetAddress, // the processor's fixed reset address, where the program starts
};

struct Architecture {
    const char* name;          // "ARM Cortex-M", for messages
    InstructionSet instructionSet;
    const char* familyName;    // "ARM", "PowerPC", ...: the family a front-end path selects
    const char* frontEndPath;  // the front-end path whose name selects the family
    const char* designator;    // the processor's designator on the host (what 'open' names)

    uint16_t elfMachine;         // e_machine of the ELF files it runs; 0: none (Intel HEX only)
    const char* elfMachineName;  // that machine in messages ("ARM")
    bool bigEndian;              // byte order of its memory words and ELF files

    std::span<const BoardRegister> registers;  // the register map: GDI id = index
    std::span<const RegisterAlias> aliases;

    // Breakpoints. GDI's breakpoint qualifier for an instruction of this set
    // (2: a Thumb instruction; 0: the processor has one kind). The kinds gdb's
    // Z0/z0 packets give (the instruction's size); the first is the one a
    // breakpoint is asked for with. Empty: gdb does not debug it.
    uint32_t breakpointQualifier;
    std::span<const uint32_t> gdbBreakpointKinds;
    // Address bits that select the instruction set rather than the
    // instruction (Thumb's bit 0): an ELF entry point, a function symbol, a
    // return address, a breakpoint id may carry them.
    uint64_t instructionModeBits;
    // Status-register bits that must stay set for the processor to execute
    // at all (Thumb's T); a PC write sets them again.
    uint32_t executionStateBits;
    // The program's own breakpoint instruction (ARM's bkpt: 0xBExx), by its
    // size and a test; 0: not recognised.
    uint32_t trapSize;
    bool (*isTrap)(std::span<const uint8_t> code);

    // Link-register values from here up are exception-return codes, not
    // addresses (ARM's EXC_RETURN); 0: none.
    uint32_t exceptionReturnFrom;

    ResetRule reset;

    // The status register as 'registers' shows it ("[ Z C T ] exception 0
    // (thread mode)"); null: shown as a number only.
    std::string (*decodeStatus)(uint32_t value);

    // Help texts: its instructions ("Thumb"), what 'registers' adds about
    // the status register, where a reset starts.
    const char* instructionSetName;
    const char* statusHelp;
    const char* resetHelp;

    // Its programs call the debugger through semihosting (bkpt 0xab), so
    // orxdbg --semihosting and the server's 'monitor arm semihosting' exist.
    bool semihosting;

    // gdb's name for it and the target-description feature of its core
    // registers; empty when gdb-multiarch does not know the processor.
    const char* gdbArchitecture;
    const char* gdbFeature;
    // The registers (gdb's names) a stop reply carries, so that gdb finds the
    // stopped frame without asking for every register: the pc and what its
    // unwinder reads first.
    std::span<const char* const> gdbExpedited;

    // An address as the instruction's own (Thumb's bit 0 clear).
    uint64_t InstructionAddress(uint64_t address) const { return address & ~instructionModeBits; }
    uint32_t InstructionAddress(uint32_t address) const {
        return address & ~static_cast<uint32_t>(instructionModeBits);
    }
    // The kind a breakpoint is asked for with in a Z0 packet; 0 when none.
    uint32_t GdbBreakpointKind() const { return gdbBreakpointKinds.empty() ? 0 : gdbBreakpointKinds.front(); }
    bool AcceptsGdbBreakpointKind(uint64_t kind) const;
    bool IsExceptionReturn(uint32_t value) const { return exceptionReturnFrom != 0 && value >= exceptionReturnFrom; }
    bool IsTrap(std::span<const uint8_t> code) const { return isTrap && code.size() >= trapSize && isTrap(code); }

    // The register index with that role, or -1.
    int32_t RegisterIndex(RegisterRole role) const;
    // The register index for a name or an alias, ignoring case.
    std::optional<int32_t> FindRegister(std::string_view name) const;
};

extern const Architecture kArmCortexM;
extern const Architecture kPowerPc;
extern const Architecture kMicroBlaze;
extern const Architecture kNios2;
extern const Architecture kZ80;
extern const Architecture kMcs51;

// Every architecture, for lookups by ELF machine and by front-end path.
std::span<const Architecture* const> Architectures();
// The architecture whose ELF files have that machine, or null.
const Architecture* ArchitectureForElfMachine(uint16_t machine);

// ARM's xPSR: "[ Z C T ] exception 0 (thread mode)", the flags set and the
// exception number.
std::string DecodeXpsr(uint32_t xpsr);

}  // namespace sim
