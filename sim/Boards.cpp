#include "sim/Boards.h"

namespace sim {

namespace {

std::vector<Board> MakeBoards() {
    std::vector<Board> boards;
    boards.push_back({
        .name = "cortexm",
        .arch = kArmCortexM,
        .kind = CoreKind::InProcess,
        .regions = {{"FLASH", 0x00000000, 256 * 1024, true}, {"RAM", 0x20000000, 64 * 1024, false}},
        .codeBase = 0,
        .modelled = "Cortex-M3 instructions (Unicorn), flash and RAM; no interrupts, no peripherals",
        .toolchain = "gcc-arm-none-eabi",
    });
    boards.push_back({
        .name = "qemu:lm3s6965evb",
        .arch = kArmCortexM,
        .kind = CoreKind::Qemu,
        .qemuProgram = "qemu-system-arm",
        .qemuMachine = "lm3s6965evb",
        .regions = {{"FLASH", 0x00000000, 256 * 1024, true}, {"RAM", 0x20000000, 64 * 1024, false}},
        .codeBase = 0,
        .modelled = "Stellaris LM3S6965: Cortex-M3 with NVIC, SysTick, UARTs, timers",
        .toolchain = "gcc-arm-none-eabi",
        .peripherals = {{"PERIPHERALS", 0x40000000, 0x100000, false}, {"PPB", 0xe0000000, 0x100000, false}},
    });
    boards.push_back({
        .name = "qemu:mps2-an385",
        .arch = kArmCortexM,
        .kind = CoreKind::Qemu,
        .qemuProgram = "qemu-system-arm",
        .qemuMachine = "mps2-an385",
        .regions = {{"CODE", 0x00000000, 4 * 1024 * 1024, false}, {"RAM", 0x20000000, 4 * 1024 * 1024, false}},
        .codeBase = 0,
        .modelled = "ARM MPS2 AN385: Cortex-M3 with NVIC, SysTick, CMSDK UARTs and timers",
        .toolchain = "gcc-arm-none-eabi",
        // APB (timers, UARTs, watchdog) and AHB (GPIO, FPGA I/O) devices; the
        // private peripheral bus (NVIC, SysTick, SCB).
        .peripherals = {{"PERIPHERALS", 0x40000000, 0x30000, false}, {"PPB", 0xe0000000, 0x100000, false}},
    });
    boards.push_back({
        .name = "qemu:virtex-ml507",
        .arch = kPowerPc,
        .kind = CoreKind::Qemu,
        .qemuProgram = "qemu-system-ppc",
        .qemuMachine = "virtex-ml507",
        .regions = {{"RAM", 0x00000000, 128 * 1024 * 1024, false}, {"FLASH", 0xfc000000, 16 * 1024 * 1024, true}},
        .codeBase = 0x00000000,
        .modelled = "Xilinx ML507: PowerPC 440 (big-endian), RAM, flash, UART 16550, interrupt controller",
        .toolchain = "gcc-powerpc-linux-gnu (freestanding)",
        .peripherals = {{"INTC", 0x81800000, 0x10000, false},
                        {"TIMER", 0x83c00000, 0x10000, false},
                        {"UART", 0x83e00000, 0x10000, false}},
    });
    boards.push_back({
        .name = "qemu:petalogix-s3adsp1800",
        .arch = kMicroBlaze,
        .kind = CoreKind::Qemu,
        .qemuProgram = "qemu-system-microblaze",
        .qemuMachine = "petalogix-s3adsp1800",
        .regions = {{"BRAM", 0x00000000, 128 * 1024, false}, {"RAM", 0x90000000, 128 * 1024 * 1024, false}},
        .codeBase = 0x00000000,
        .modelled = "PetaLogix Spartan-3A DSP 1800: MicroBlaze (big-endian), BRAM, DDR, UART Lite, timer",
        .toolchain = "none in Debian (hand-encoded instructions)",
        .peripherals = {{"INTC", 0x81800000, 0x10000, false},
                        {"TIMER", 0x83c00000, 0x10000, false},
                        {"UARTLITE", 0x84000000, 0x10000, false}},
    });
    boards.push_back({
        .name = "qemu:10m50-ghrd",
        .arch = kNios2,
        .kind = CoreKind::Qemu,
        .qemuProgram = "qemu-system-nios2",
        .qemuMachine = "10m50-ghrd",
        // The program runs in the kernel's bypass window, where the MMU maps
        // 0xc8000000 straight to the RAM at 0x08000000.
        .regions = {{"RAM", 0xc8000000, 128 * 1024 * 1024, false}},
        .codeBase = 0xc8000000,
        .modelled = "Altera 10M50 GHRD: Nios II with MMU (little-endian), RAM, JTAG UART, timer",
        .toolchain = "none in Debian (hand-encoded instructions)",
    });
    boards.push_back({
        .name = "z80",
        .arch = kZ80,
        .kind = CoreKind::Z80,
        .regions = {{"RAM", 0x0000, 0x10000, false}},
        .codeBase = 0x0000,
        .modelled = "Z80 instructions (libz80ex), in process: 64 KiB of RAM and 256 I/O ports; no interrupts",
        .toolchain = "sdcc -mz80",
        .spaces = {{"MEMORY", 0x0000, 0x10000, false}, {"IO", 0x00, 0x100, false}},
    });
    boards.push_back({
        .name = "8051",
        .arch = kMcs51,
        .kind = CoreKind::S51,
        .regions = {{"CODE", 0x0000, 0x10000, true}},
        .codeBase = 0x0000,
        .modelled = "8051 in the s51 simulator (sdcc-ucsim), a child process: 64 KiB code, 256 bytes internal RAM, "
                    "SFRs, 64 KiB external RAM, its timers and UART",
        .toolchain = "sdcc -mmcs51",
        .spaces = {{"CODE", 0x0000, 0x10000, true},
                   {"IDATA", 0x00, 0x100, false},
                   {"SFR", 0x80, 0x80, false},
                   {"XDATA", 0x0000, 0x10000, false}},
    });
    return boards;
}

}  // namespace

const std::vector<Board>& Boards() {
    static const std::vector<Board> boards = MakeBoards();
    return boards;
}

const Board& DefaultBoard() { return Boards().front(); }

const Board* FindBoard(std::string_view name) {
    if (name.empty()) return &DefaultBoard();
    for (const Board& board : Boards()) {
        if (board.name == name) return &board;
        if (board.kind == CoreKind::Qemu && std::string_view(board.qemuMachine) == name) return &board;
    }
    return nullptr;
}

std::vector<std::string> MemorySpaceNames(const Board& board) {
    if (!board.spaces.empty()) {
        std::vector<std::string> names;
        for (const BoardRegion& space : board.spaces) names.emplace_back(space.name);
        return names;
    }
    std::vector<std::string> names{"MEMORY"};
    for (const BoardRegion& region : board.regions) names.emplace_back(region.name);
    return names;
}

}  // namespace sim
