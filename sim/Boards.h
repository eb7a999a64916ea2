// The boards the simulated host can put behind its Nexus objects, in one
// table: the in-process Cortex-M, QEMU's full-system machines and the 8-bit
// cores.
//
// A board is its processor's architecture (sim/Architecture.h: family,
// registers, byte order, ELF machine, breakpoints, reset, what gdb calls it)
// and its machine: the core that runs it, the QEMU machine, the memory
// regions and spaces, the device registers. The simulated host, orxdbg and
// its GDB server all read this table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Architecture.h"

namespace sim {

enum class CoreKind {
    InProcess,  // sim/arm: the Cortex-M on Unicorn
    Qemu,       // sim/qemu: a QEMU machine through its gdb stub
    Z80,        // sim/z80: a Z80 on libz80ex, in process
    S51,        // sim/s51: an 8051 in the s51 simulator, a child process
};

struct BoardRegion {
    const char* name;  // "FLASH", "RAM", ...
    uint64_t base;
    uint64_t size;
    bool flash;        // read-only for the program; the debugger writes it
};

struct Board {
    std::string name;           // "cortexm", "qemu:mps2-an385", ...
    const Architecture& arch;   // its processor
    CoreKind kind;
    const char* qemuProgram = "";  // "qemu-system-arm"; empty for the in-process cores
    const char* qemuMachine = "";  // "-M" value
    std::vector<BoardRegion> regions;  // memory; memory space 0 ("MEMORY") covers the whole bus
    uint32_t codeBase = 0;      // where the sample programs for this board are linked
    const char* modelled = "";  // what the target models, for --help and the README
    const char* toolchain = ""; // the Debian compiler for it, or why none
    // Device registers the target models (timers, UARTs, interrupt
    // controllers): memory a debugger may read and write, though no program
    // is loaded there and no memory space covers it.
    std::vector<BoardRegion> peripherals = {};
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

// Memory spaces: the board's own spaces where it has them, else 0 "MEMORY"
// (the whole bus), then one per region.
std::vector<std::string> MemorySpaceNames(const Board& board);

}  // namespace sim
