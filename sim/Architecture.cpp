#include "sim/Architecture.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>

namespace sim {

namespace {

constexpr uint16_t kEmArm = 40;
constexpr uint16_t kEmPpc = 20;
constexpr uint16_t kEmMicroBlaze = 189;
constexpr uint16_t kEmNios2 = 113;
constexpr uint16_t kNoElf = 0;  // sdcc writes Intel HEX for the 8-bit processors

// Registers narrower than 32 bits keep only their own bits of a write.
constexpr uint32_t k16 = 0xffff0000;
constexpr uint32_t k8 = 0xffffff00;
constexpr uint32_t k1 = 0xfffffffe;

constexpr const char* kGprNames[] = {"R0",  "R1",  "R2",  "R3",  "R4",  "R5",  "R6",  "R7",  "R8",  "R9",  "R10",
                                     "R11", "R12", "R13", "R14", "R15", "R16", "R17", "R18", "R19", "R20", "R21",
                                     "R22", "R23", "R24", "R25", "R26", "R27", "R28", "R29", "R30", "R31"};
constexpr const char* kGprGdbNames[] = {"r0",  "r1",  "r2",  "r3",  "r4",  "r5",  "r6",  "r7",  "r8",  "r9",  "r10",
                                        "r11", "r12", "r13", "r14", "r15", "r16", "r17", "r18", "r19", "r20", "r21",
                                        "r22", "r23", "r24", "r25", "r26", "r27", "r28", "r29", "r30", "r31"};

// R0..R(count-1) as ids and QEMU numbers 0..count-1 (R(sp) the stack
// pointer, by the ABI), then the named ones.
template <std::size_t Count, std::size_t N>
constexpr std::array<BoardRegister, Count + N> NumberedThen(const std::array<BoardRegister, N>& rest, uint32_t sp = Count) {
    std::array<BoardRegister, Count + N> r{};
    for (uint32_t i = 0; i < Count; ++i)
        r[i] = {kGprNames[i], kGprGdbNames[i], i, i == sp ? RegisterRole::Sp : RegisterRole::General};
    for (std::size_t i = 0; i < N; ++i) r[Count + i] = rest[i];
    return r;
}

// ---- ARM Cortex-M (Thumb) ----------------------------------------------------------

constexpr auto kCortexMRegisters = NumberedThen<13>(std::array<BoardRegister, 4>{{
    {"SP", "sp", 13, RegisterRole::Sp, 3},
    {"LR", "lr", 14, RegisterRole::Lr},
    {"PC", "pc", 15, RegisterRole::Pc, 1},
    {"XPSR", "xpsr", 25, RegisterRole::Status, 0, true},
}});
constexpr RegisterAlias kArmAliases[] = {{"R13", "SP"}, {"R14", "LR"}, {"R15", "PC"}};
// What gdb's unwinders read to find the stopped frame: the pc, the stack
// pointer and the frame pointer (Thumb code keeps it in r7, PowerPC code in
// r31). The caller's registers are asked for when gdb needs them.
constexpr const char* kArmExpedited[] = {"r7", "sp", "pc"};
constexpr const char* kPowerPcExpedited[] = {"r1", "r31", "pc"};
// A 16-bit Thumb instruction, or a 32-bit Thumb-2 one.
constexpr uint32_t kThumbKinds[] = {2, 3};
constexpr uint32_t kThumbState = 0x01000000;  // xPSR's T bit

// bkpt #imm8 is 0xBExx; the halfword is little-endian.
bool IsThumbBkpt(std::span<const uint8_t> code) { return code[1] == 0xBE; }

// ---- The 32-bit RISC processors QEMU runs -------------------------------------------

constexpr uint32_t kWordKinds[] = {4};

// The PowerPC 440's user registers as QEMU's gdb stub numbers them (the
// FPRs, 32..63, left out).
constexpr auto kPowerPcRegisters = NumberedThen<32>(std::array<BoardRegister, 6>{{
    {"PC", "pc", 64, RegisterRole::Pc},
    {"MSR", "msr", 65, RegisterRole::Status, 0, true},
    {"CR", "cr", 66},
    {"LR", "lr", 67, RegisterRole::Lr},
    {"CTR", "ctr", 68},
    {"XER", "xer", 69, RegisterRole::General, 0, true},
}}, 1);

// r0 reads zero whatever is written to it.
constexpr auto kMicroBlazeRegisters = [] {
    auto r = NumberedThen<32>(std::array<BoardRegister, 2>{{
        {"PC", "rpc", 32, RegisterRole::Pc},
        {"MSR", "rmsr", 33, RegisterRole::Status, 0, true},
    }}, 1);
    r[0].writeClears = 0xffffffff;
    return r;
}();

constexpr auto kNios2Registers = NumberedThen<32>(std::array<BoardRegister, 2>{{
    {"PC", "pc", 32, RegisterRole::Pc},
    {"STATUS", "status", 33, RegisterRole::Status, 0, true},
}}, 27);

// ---- The 8-bit processors -----------------------------------------------------------

// The Z80's, with the shadow set as AF' BC' DE' HL'. IM takes 0, 1 or 2.
constexpr BoardRegister kZ80Registers[] = {
    {"AF", "", 0, RegisterRole::Status, k16},   {"BC", "", 1, RegisterRole::General, k16},
    {"DE", "", 2, RegisterRole::General, k16},   {"HL", "", 3, RegisterRole::General, k16},
    {"IX", "", 4, RegisterRole::General, k16},   {"IY", "", 5, RegisterRole::General, k16},
    {"SP", "", 6, RegisterRole::Sp, k16},        {"PC", "", 7, RegisterRole::Pc, k16},
    {"AF'", "", 8, RegisterRole::General, k16},  {"BC'", "", 9, RegisterRole::General, k16},
    {"DE'", "", 10, RegisterRole::General, k16}, {"HL'", "", 11, RegisterRole::General, k16},
    {"I", "", 12, RegisterRole::General, k8},    {"R", "", 13, RegisterRole::General, k8},
    {"IM", "", 14, RegisterRole::General, 0, true}, {"IFF1", "", 15, RegisterRole::General, k1},
    {"IFF2", "", 16, RegisterRole::General, k1}};

// The 8051's: the SFRs A, B, PSW, SP and DPTR (DPH:DPL), the PC, and R0..R7
// of the register bank PSW selects.
constexpr BoardRegister kMcs51Registers[] = {
    {"PC", "", 0, RegisterRole::Pc, k16},      {"A", "", 1, RegisterRole::General, k8},
    {"B", "", 2, RegisterRole::General, k8},   {"PSW", "", 3, RegisterRole::Status, k8},
    {"SP", "", 4, RegisterRole::Sp, k8},       {"DPTR", "", 5, RegisterRole::General, k16},
    {"R0", "", 6, RegisterRole::General, k8},  {"R1", "", 7, RegisterRole::General, k8},
    {"R2", "", 8, RegisterRole::General, k8},  {"R3", "", 9, RegisterRole::General, k8},
    {"R4", "", 10, RegisterRole::General, k8}, {"R5", "", 11, RegisterRole::General, k8},
    {"R6", "", 12, RegisterRole::General, k8}, {"R7", "", 13, RegisterRole::General, k8}};

constexpr const char* kEntryPointReset = "at the loaded image's entry point";

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

}  // namespace

constinit const Architecture kArmCortexM{
    .name = "ARM Cortex-M",
    .instructionSet = InstructionSet::Thumb,
    .familyName = "ARM",
    .frontEndPath = "C:\\Tools\\qdvarm.exe",
    .designator = "CORTEXM",
    .elfMachine = kEmArm,
    .elfMachineName = "ARM",
    .bigEndian = false,
    .registers = kCortexMRegisters,
    .aliases = kArmAliases,
    .breakpointQualifier = 2,
    .gdbBreakpointKinds = kThumbKinds,
    .instructionModeBits = 1,
    .executionStateBits = kThumbState,
    .trapSize = 2,
    .isTrap = &IsThumbBkpt,
    .exceptionReturnFrom = 0xF0000000,
    .reset = ResetRule::VectorTable,
    .decodeStatus = &DecodeXpsr,
    .instructionSetName = "Thumb",
    .statusHelp = ", with the XPSR flags N Z C V Q T and the exception number decoded",
    .resetHelp = "from its vector table",
    .semihosting = true,
    .gdbArchitecture = "arm",
    .gdbFeature = "org.gnu.gdb.arm.m-profile",
    .gdbExpedited = kArmExpedited,
};

constinit const Architecture kPowerPc{
    .name = "PowerPC 440",
    .instructionSet = InstructionSet::PowerPC,
    .familyName = "PowerPC",
    .frontEndPath = "C:\\Tools\\qdvppc.exe",
    .designator = "PPC440",
    .elfMachine = kEmPpc,
    .elfMachineName = "PowerPC",
    .bigEndian = true,
    .registers = kPowerPcRegisters,
    .aliases = {},
    .breakpointQualifier = 0,
    .gdbBreakpointKinds = kWordKinds,
    .instructionModeBits = 0,
    .executionStateBits = 0,
    .trapSize = 0,
    .isTrap = nullptr,
    .exceptionReturnFrom = 0,
    .reset = ResetRule::ImageEntry,
    .decodeStatus = nullptr,
    .instructionSetName = "PowerPC",
    .statusHelp = "",
    .resetHelp = kEntryPointReset,
    .semihosting = false,
    .gdbArchitecture = "powerpc:common",
    .gdbFeature = "org.gnu.gdb.power.core",
    .gdbExpedited = kPowerPcExpedited,
};

constinit const Architecture kMicroBlaze{
    .name = "MicroBlaze",
    .instructionSet = InstructionSet::MicroBlaze,
    .familyName = "MicroBlaze",
    .frontEndPath = "C:\\Tools\\qdvmb.exe",
    .designator = "MICROBLAZE",
    .elfMachine = kEmMicroBlaze,
    .elfMachineName = "MicroBlaze",
    .bigEndian = true,
    .registers = kMicroBlazeRegisters,
    .aliases = {},
    .breakpointQualifier = 0,
    .gdbBreakpointKinds = kWordKinds,
    .instructionModeBits = 0,
    .executionStateBits = 0,
    .trapSize = 0,
    .isTrap = nullptr,
    .exceptionReturnFrom = 0,
    .reset = ResetRule::ImageEntry,
    .decodeStatus = nullptr,
    .instructionSetName = "MicroBlaze",
    .statusHelp = "",
    .resetHelp = kEntryPointReset,
    .semihosting = false,
    .gdbArchitecture = "",
    .gdbFeature = "",
};

constinit const Architecture kNios2{
    .name = "Nios II",
    .instructionSet = InstructionSet::Nios2,
    .familyName = "Nios II",
    .frontEndPath = "C:\\Tools\\qdvnios.exe",
    .designator = "NIOS2",
    .elfMachine = kEmNios2,
    .elfMachineName = "Nios II",
    .bigEndian = false,
    .registers = kNios2Registers,
    .aliases = {},
    .breakpointQualifier = 0,
    .gdbBreakpointKinds = kWordKinds,
    .instructionModeBits = 0,
    .executionStateBits = 0,
    .trapSize = 0,
    .isTrap = nullptr,
    .exceptionReturnFrom = 0,
    .reset = ResetRule::ImageEntry,
    .decodeStatus = nullptr,
    .instructionSetName = "Nios II",
    .statusHelp = "",
    .resetHelp = kEntryPointReset,
    .semihosting = false,
    .gdbArchitecture = "",
    .gdbFeature = "",
};

constinit const Architecture kZ80{
    .name = "Z80",
    .instructionSet = InstructionSet::Z80,
    .familyName = "Z80",
    .frontEndPath = "C:\\Tools\\qdvz80.exe",
    .designator = "Z80",
    .elfMachine = kNoElf,
    .elfMachineName = "",
    .bigEndian = false,
    .registers = kZ80Registers,
    .aliases = {},
    .breakpointQualifier = 0,
    .gdbBreakpointKinds = {},
    .instructionModeBits = 0,
    .executionStateBits = 0,
    .trapSize = 0,
    .isTrap = nullptr,
    .exceptionReturnFrom = 0,
    .reset = ResetRule::ResetAddress,
    .decodeStatus = nullptr,
    .instructionSetName = "Z80",
    .statusHelp = "",
    .resetHelp = "from its reset address",
    .semihosting = false,
    .gdbArchitecture = "",
    .gdbFeature = "",
};

constinit const Architecture kMcs51{
    .name = "8051",
    .instructionSet = InstructionSet::Mcs51,
    .familyName = "8051",
    .frontEndPath = "C:\\Tools\\qdv51.exe",
    .designator = "MCS51",
    .elfMachine = kNoElf,
    .elfMachineName = "",
    .bigEndian = false,
    .registers = kMcs51Registers,
    .aliases = {},
    .breakpointQualifier = 0,
    .gdbBreakpointKinds = {},
    .instructionModeBits = 0,
    .executionStateBits = 0,
    .trapSize = 0,
    .isTrap = nullptr,
    .exceptionReturnFrom = 0,
    .reset = ResetRule::ResetAddress,
    .decodeStatus = nullptr,
    .instructionSetName = "8051",
    .statusHelp = "",
    .resetHelp = "from its reset address",
    .semihosting = false,
    .gdbArchitecture = "",
    .gdbFeature = "",
};

bool Architecture::AcceptsGdbBreakpointKind(uint64_t kind) const {
    return std::find(gdbBreakpointKinds.begin(), gdbBreakpointKinds.end(), kind) != gdbBreakpointKinds.end();
}

int32_t Architecture::RegisterIndex(RegisterRole role) const {
    for (std::size_t i = 0; i < registers.size(); ++i)
        if (registers[i].role == role) return static_cast<int32_t>(i);
    return -1;
}

std::optional<int32_t> Architecture::FindRegister(std::string_view wanted) const {
    for (std::size_t i = 0; i < registers.size(); ++i)
        if (SameName(wanted, registers[i].name)) return static_cast<int32_t>(i);
    for (const RegisterAlias& alias : aliases)
        if (SameName(wanted, alias.name)) {
            for (std::size_t i = 0; i < registers.size(); ++i)
                if (std::string_view(alias.registerName) == registers[i].name) return static_cast<int32_t>(i);
        }
    return std::nullopt;
}

std::span<const Architecture* const> Architectures() {
    static constexpr const Architecture* kAll[] = {&kArmCortexM, &kPowerPc, &kMicroBlaze, &kNios2, &kZ80, &kMcs51};
    return kAll;
}

const Architecture* ArchitectureForElfMachine(uint16_t machine) {
    if (machine == kNoElf) return nullptr;
    for (const Architecture* arch : Architectures())
        if (arch->elfMachine == machine) return arch;
    return nullptr;
}

std::string DecodeXpsr(uint32_t xpsr) {
    static constexpr std::pair<int, const char*> kFlags[] = {{31, "N"}, {30, "Z"}, {29, "C"},
                                                            {28, "V"}, {27, "Q"}, {24, "T"}};
    std::string text = "[";
    for (const auto& [bit, name] : kFlags)
        if (xpsr >> bit & 1) text += std::string(" ") + name;
    text += " ] exception " + std::to_string(xpsr & 0x1FF);
    static constexpr const char* kExceptions[] = {"thread mode", "reset",       "NMI",          "HardFault",
                                                  "MemManage",   "BusFault",    "UsageFault",   nullptr,
                                                  nullptr,       nullptr,       nullptr,        "SVCall",
                                                  "DebugMonitor", nullptr,      "PendSV",       "SysTick"};
    const uint32_t number = xpsr & 0x1FF;
    if (number < std::size(kExceptions)) {
        if (kExceptions[number]) text += std::string(" (") + kExceptions[number] + ")";
    } else {
        text += " (IRQ " + std::to_string(number - 16) + ")";
    }
    return text;
}

}  // namespace sim
