#include "sim/Boards.h"

#include <cctype>

namespace sim {

namespace {

constexpr uint16_t kEmArm = 40;
constexpr uint16_t kEmPpc = 20;
constexpr uint16_t kEmMicroBlaze = 189;
constexpr uint16_t kEmNios2 = 113;
constexpr uint16_t kNoElf = 0;  // sdcc writes Intel HEX for the 8-bit boards

// Registers narrower than 32 bits keep only their own bits of a write.
constexpr uint32_t k16 = 0xffff0000;
constexpr uint32_t k8 = 0xffffff00;
constexpr uint32_t k1 = 0xfffffffe;

// The Z80's, with the shadow set as AF' BC' DE' HL'. IM takes 0, 1 or 2.
std::vector<BoardRegister> Z80Registers() {
    return {{"AF", "", 0, RegisterRole::Status, k16}, {"BC", "", 1, RegisterRole::General, k16},
            {"DE", "", 2, RegisterRole::General, k16}, {"HL", "", 3, RegisterRole::General, k16},
            {"IX", "", 4, RegisterRole::General, k16}, {"IY", "", 5, RegisterRole::General, k16},
            {"SP", "", 6, RegisterRole::Sp, k16},      {"PC", "", 7, RegisterRole::Pc, k16},
            {"AF'", "", 8, RegisterRole::General, k16}, {"BC'", "", 9, RegisterRole::General, k16},
            {"DE'", "", 10, RegisterRole::General, k16}, {"HL'", "", 11, RegisterRole::General, k16},
            {"I", "", 12, RegisterRole::General, k8},   {"R", "", 13, RegisterRole::General, k8},
            {"IM", "", 14, RegisterRole::General, 0, true}, {"IFF1", "", 15, RegisterRole::General, k1},
            {"IFF2", "", 16, RegisterRole::General, k1}};
}

// The 8051's: the SFRs A, B, PSW, SP and DPTR (DPH:DPL), the PC, and R0..R7
// of the register bank PSW selects.
std::vector<BoardRegister> Mcs51Registers() {
    std::vector<BoardRegister> r{{"PC", "", 0, RegisterRole::Pc, k16},     {"A", "", 1, RegisterRole::General, k8},
                                 {"B", "", 2, RegisterRole::General, k8},      {"PSW", "", 3, RegisterRole::Status, k8},
                                 {"SP", "", 4, RegisterRole::Sp, k8},          {"DPTR", "", 5, RegisterRole::General, k16}};
    static const char* const kNames[] = {"R0", "R1", "R2", "R3", "R4", "R5", "R6", "R7"};
    for (uint32_t i = 0; i < 8; ++i) r.push_back({kNames[i], "", 6 + i, RegisterRole::General, k8});
    return r;
}

std::vector<BoardRegister> CortexMRegisters() {
    std::vector<BoardRegister> r;
    static const char* const kNames[] = {"R0", "R1", "R2", "R3", "R4", "R5", "R6", "R7", "R8", "R9", "R10", "R11", "R12"};
    static const char* const kGdbNames[] = {"r0", "r1", "r2", "r3", "r4", "r5", "r6",
                                            "r7", "r8", "r9", "r10", "r11", "r12"};
    for (uint32_t i = 0; i < 13; ++i) r.push_back({kNames[i], kGdbNames[i], i});
    r.push_back({"SP", "sp", 13, RegisterRole::Sp, 3});
    r.push_back({"LR", "lr", 14, RegisterRole::Lr});
    r.push_back({"PC", "pc", 15, RegisterRole::Pc, 1});
    r.push_back({"XPSR", "xpsr", 25, RegisterRole::Status, 0, true});
    return r;
}

// R0..R31 as GDI ids 0..31 and QEMU numbers 0..31, then the named ones.
std::vector<BoardRegister> ThirtyTwoGprs(std::vector<BoardRegister> rest) {
    static const char* const kNames[] = {"R0",  "R1",  "R2",  "R3",  "R4",  "R5",  "R6",  "R7",  "R8",  "R9",  "R10",
                                         "R11", "R12", "R13", "R14", "R15", "R16", "R17", "R18", "R19", "R20", "R21",
                                         "R22", "R23", "R24", "R25", "R26", "R27", "R28", "R29", "R30", "R31"};
    static const char* const kGdbNames[] = {"r0",  "r1",  "r2",  "r3",  "r4",  "r5",  "r6",  "r7",  "r8",  "r9",  "r10",
                                            "r11", "r12", "r13", "r14", "r15", "r16", "r17", "r18", "r19", "r20", "r21",
                                            "r22", "r23", "r24", "r25", "r26", "r27", "r28", "r29", "r30", "r31"};
    std::vector<BoardRegister> r;
    for (uint32_t i = 0; i < 32; ++i) r.push_back({kNames[i], kGdbNames[i], i});
    r.insert(r.end(), rest.begin(), rest.end());
    return r;
}

// r0 reads zero whatever is written to it.
std::vector<BoardRegister> MicroBlazeRegisters() {
    std::vector<BoardRegister> r = ThirtyTwoGprs({{"PC", "rpc", 32, RegisterRole::Pc},
                                                  {"MSR", "rmsr", 33, RegisterRole::Status, 0, true}});
    r[0].writeClears = 0xffffffff;
    return r;
}

std::vector<Board> MakeBoards() {
    const auto cortexM = CortexMRegisters();
    std::vector<Board> boards;
    boards.push_back({"cortexm", CoreKind::InProcess, "ARM", "C:\\Tools\\qdvarm.exe", "", "", false, true, kEmArm,
                      "arm", "org.gnu.gdb.arm.m-profile", cortexM,
                      {{"FLASH", 0x00000000, 256 * 1024, true}, {"RAM", 0x20000000, 64 * 1024, false}}, 0,
                      "Cortex-M3 instructions (Unicorn), flash and RAM; no interrupts, no peripherals",
                      "gcc-arm-none-eabi", {}, "CORTEXM"});
    boards.push_back({"qemu:lm3s6965evb", CoreKind::Qemu, "ARM", "C:\\Tools\\qdvarm.exe", "qemu-system-arm",
                      "lm3s6965evb", false, true, kEmArm, "arm", "org.gnu.gdb.arm.m-profile", cortexM,
                      {{"FLASH", 0x00000000, 256 * 1024, true}, {"RAM", 0x20000000, 64 * 1024, false}}, 0,
                      "Stellaris LM3S6965: Cortex-M3 with NVIC, SysTick, UARTs, timers",
                      "gcc-arm-none-eabi",
                      {{"PERIPHERALS", 0x40000000, 0x100000, false}, {"PPB", 0xe0000000, 0x100000, false}},
                      "CORTEXM"});
    boards.push_back({"qemu:mps2-an385", CoreKind::Qemu, "ARM", "C:\\Tools\\qdvarm.exe", "qemu-system-arm",
                      "mps2-an385", false, true, kEmArm, "arm", "org.gnu.gdb.arm.m-profile", cortexM,
                      {{"CODE", 0x00000000, 4 * 1024 * 1024, false}, {"RAM", 0x20000000, 4 * 1024 * 1024, false}}, 0,
                      "ARM MPS2 AN385: Cortex-M3 with NVIC, SysTick, CMSDK UARTs and timers",
                      "gcc-arm-none-eabi",
                      // APB (timers, UARTs, watchdog) and AHB (GPIO, FPGA I/O)
                      // devices; the private peripheral bus (NVIC, SysTick, SCB).
                      {{"PERIPHERALS", 0x40000000, 0x30000, false}, {"PPB", 0xe0000000, 0x100000, false}},
                      "CORTEXM"});
    boards.push_back({"qemu:virtex-ml507", CoreKind::Qemu, "PowerPC", "C:\\Tools\\qdvppc.exe", "qemu-system-ppc",
                      "virtex-ml507", true, false, kEmPpc, "powerpc:common", "org.gnu.gdb.power.core",
                      ThirtyTwoGprs({{"PC", "pc", 64, RegisterRole::Pc},
                                     {"MSR", "msr", 65, RegisterRole::Status, 0, true},
                                     {"CR", "cr", 66},
                                     {"LR", "lr", 67, RegisterRole::Lr},
                                     {"CTR", "ctr", 68},
                                     {"XER", "xer", 69, RegisterRole::General, 0, true}}),
                      {{"RAM", 0x00000000, 128 * 1024 * 1024, false}, {"FLASH", 0xfc000000, 16 * 1024 * 1024, true}},
                      0x00000000, "Xilinx ML507: PowerPC 440 (big-endian), RAM, flash, UART 16550, interrupt controller",
                      "gcc-powerpc-linux-gnu (freestanding)",
                      {{"INTC", 0x81800000, 0x10000, false}, {"TIMER", 0x83c00000, 0x10000, false},
                       {"UART", 0x83e00000, 0x10000, false}},
                      "PPC440", true});
    boards.push_back({"qemu:petalogix-s3adsp1800", CoreKind::Qemu, "MicroBlaze", "C:\\Tools\\qdvmb.exe",
                      "qemu-system-microblaze", "petalogix-s3adsp1800", true, false, kEmMicroBlaze, "", "",
                      MicroBlazeRegisters(),
                      {{"BRAM", 0x00000000, 128 * 1024, false}, {"RAM", 0x90000000, 128 * 1024 * 1024, false}},
                      0x00000000, "PetaLogix Spartan-3A DSP 1800: MicroBlaze (big-endian), BRAM, DDR, UART Lite, timer",
                      "none in Debian (hand-encoded instructions)",
                      {{"INTC", 0x81800000, 0x10000, false}, {"TIMER", 0x83c00000, 0x10000, false},
                       {"UARTLITE", 0x84000000, 0x10000, false}},
                      "MICROBLAZE", true});
    boards.push_back({"qemu:10m50-ghrd", CoreKind::Qemu, "Nios II", "C:\\Tools\\qdvnios.exe", "qemu-system-nios2",
                      "10m50-ghrd", false, false, kEmNios2, "", "",
                      ThirtyTwoGprs({{"PC", "pc", 32, RegisterRole::Pc}, {"STATUS", "status", 33, RegisterRole::Status, 0, true}}),
                      // The program runs in the kernel's bypass window, where
                      // the MMU maps 0xc8000000 straight to the RAM at 0x08000000.
                      {{"RAM", 0xc8000000, 128 * 1024 * 1024, false}},
                      0xc8000000, "Altera 10M50 GHRD: Nios II with MMU (little-endian), RAM, JTAG UART, timer",
                      "none in Debian (hand-encoded instructions)", {}, "NIOS2", true});
    boards.push_back({"z80", CoreKind::Z80, "Z80", "C:\\Tools\\qdvz80.exe", "", "", false, false, kNoElf, "", "",
                      Z80Registers(), {{"RAM", 0x0000, 0x10000, false}}, 0x0000,
                      "Z80 instructions (libz80ex), in process: 64 KiB of RAM and 256 I/O ports; no interrupts",
                      "sdcc -mz80", {}, "Z80", false, {{"MEMORY", 0x0000, 0x10000, false}, {"IO", 0x00, 0x100, false}}});
    boards.push_back({"8051", CoreKind::S51, "8051", "C:\\Tools\\qdv51.exe", "", "", false, false, kNoElf, "", "",
                      Mcs51Registers(), {{"CODE", 0x0000, 0x10000, true}}, 0x0000,
                      "8051 in the s51 simulator (sdcc-ucsim), a child process: 64 KiB code, 256 bytes internal RAM, "
                      "SFRs, 64 KiB external RAM, its timers and UART",
                      "sdcc -mmcs51", {}, "MCS51", false,
                      {{"CODE", 0x0000, 0x10000, true},
                       {"IDATA", 0x00, 0x100, false},
                       {"SFR", 0x80, 0x80, false},
                       {"XDATA", 0x0000, 0x10000, false}}});
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

std::string ProcessorDesignator(const Board& board) {
    if (board.designator && *board.designator) return board.designator;
    std::string name;
    for (const char* c = board.familyName; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) name += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    return name;
}

int32_t RegisterIndex(const Board& board, RegisterRole role) {
    for (std::size_t i = 0; i < board.registers.size(); ++i)
        if (board.registers[i].role == role) return static_cast<int32_t>(i);
    return -1;
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
