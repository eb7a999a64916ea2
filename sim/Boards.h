// The boards the simulated host can put behind its Nexus objects, in one
// table: the in-process Cortex-M and QEMU's full-system machines.
//
// Everything that differs between targets lives here and nowhere else: the
// processor family (and so the front-end path that selects it), the
// registers and their numbers in QEMU's gdb stub, the memory regions, the
// memory spaces the host offers, the byte order, the ELF machine the tools
// accept, and what gdb needs (architecture and target-description feature).
// The simulated host, orxdbg and its GDB server all read this table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class CoreKind {
    InProcess,  // sim/arm: the Cortex-M on Unicorn
    Qemu,       // sim/qemu: a QEMU machine through its gdb stub
    Z80,        // sim/z80: a Z80 on libz80ex, in process
    S51,        // sim/s51: an 8051 in the s51 simulator, a child process
};

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

struct BoardRegion {
    const char* name;  // "FLASH", "RAM", ...
    uint64_t base;
    uint64_t size;
    bool flash;        // read-only for the program; the debugger writes it
};

struct Board {
    std::string name;           // "cortexm", "qemu:mps2-an385", ...
    CoreKind kind;
    const char* familyName;     // "ARM", "PowerPC", ...
    const char* frontEndPath;   // the front-end path whose name selects the family
    const char* qemuProgram;    // "qemu-system-arm"; empty for the in-process core
    const char* qemuMachine;    // "-M" value
    bool bigEndian;
    bool thumb;                 // breakpoints carry the Thumb bit (ARM family)
    uint16_t elfMachine;        // EM_ARM, EM_PPC, ...
    const char* gdbArchitecture;  // empty when gdb-multiarch does not know the processor
    const char* gdbFeature;
    std::vector<BoardRegister> registers;  // the register map: GDI id = index
    std::vector<BoardRegion> regions;      // memory; memory space 0 ("MEMORY") covers the whole bus
    uint32_t codeBase;          // where the sample programs for this board are linked
    const char* modelled;       // what the target models, for --help and the README
    const char* toolchain;      // the Debian compiler for it, or why none
    // Device registers the target models (timers, UARTs, interrupt
    // controllers): memory a debugger may read and write, though no program
    // is loaded there and no memory space covers it.
    std::vector<BoardRegion> peripherals = {};
    // The processor's designator on the host (what a front-end's open names);
    // empty: the family's name in capitals (ProcessorDesignator).
    const char* designator = "";
    // Reset starts the program at the loaded image's entry point: the
    // processor has no vector table to take it from (QEMU's reset leaves the
    // PC at the reset vector, where no program is loaded).
    bool resetToEntry = false;
    // The 8-bit boards' memory spaces, each an address space of its own
    // from base (Z80: memory and I/O ports; 8051: code, internal RAM, SFRs,
    // external RAM). Empty on the other boards, whose spaces are MEMORY (the
    // whole bus) and one per region.
    std::vector<BoardRegion> spaces = {};
};

// Every board, the default (the in-process Cortex-M) first.
const std::vector<Board>& Boards();
// A board by name: "cortexm" (also the empty name), "qemu:MACHINE" or the
// bare QEMU machine name. Null when unknown.
const Board* FindBoard(std::string_view name);
const Board& DefaultBoard();

// The board's designator, or its family's name in capitals without spaces.
std::string ProcessorDesignator(const Board& board);

// The register index with that role, or -1.
int32_t RegisterIndex(const Board& board, RegisterRole role);
// Memory spaces: the board's own spaces where it has them, else 0 "MEMORY"
// (the whole bus), then one per region.
std::vector<std::string> MemorySpaceNames(const Board& board);

}  // namespace sim
