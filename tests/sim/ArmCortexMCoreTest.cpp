// Tests of the Cortex-M core that runs real Thumb code.
//
// Two kinds of programs run here: a few hand-assembled instruction sequences,
// where the test knows every instruction, and the demo firmware built with the
// cross compiler, loaded from its ELF file the way a debugger would (one byte
// per buffer word, split at the transfer limit).
#include "sim/arm/ArmCortexMCore.h"

#include <gelf.h>
#include <libelf.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using sim::ArmCortexMCore;
using StopReason = ArmCortexMCore::StopReason;

constexpr int32_t kFlash = ArmCortexMCore::kFlashSpace;
constexpr int32_t kRam = ArmCortexMCore::kRamSpace;
constexpr uint32_t kBpSpace = ArmCortexMCore::kBreakpointSpace;
constexpr uint32_t kStackTop = 0x20010000;

// Hand-assembled Thumb instructions.
constexpr uint16_t kAdds16 = 0x3001;                 // adds r0, #1
constexpr uint16_t kAddW32[] = {0xF100, 0x0001};     // add.w r0, r0, #1
constexpr uint16_t kBranchSelf = 0xE7FE;             // b .
constexpr uint16_t kBxR1 = 0x4708;                   // bx r1
constexpr uint16_t kBxLr = 0x4770;                   // bx lr
constexpr uint16_t kStrR0AtR1 = 0x6008;              // str r0, [r1]
constexpr uint16_t kLdrR0FromR1 = 0x6808;            // ldr r0, [r1]
constexpr uint16_t kBkpt = 0xBE2A;                   // bkpt #0x2a
constexpr uint16_t kMovsR0_5 = 0x2005;               // movs r0, #5
constexpr uint16_t kMovsR0_9 = 0x2009;               // movs r0, #9

// Size of the Thumb instruction whose first halfword is given: 32 bits when
// its top five bits are 0b11101, 0b11110 or 0b11111.
uint32_t ThumbSize(uint16_t firstHalfword)
{
    return (firstHalfword >> 11) >= 0b11101 ? 4 : 2;
}

// Fails the test instead of hanging if the condition never comes true.
template <typename Condition>
bool Eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class CoreFixture : public ::testing::Test {
protected:
    int32_t Reg(const std::string& name)
    {
        for (int32_t i = 0; i < core.RegisterCount(); ++i) {
            if (core.RegisterName(i) == name) {
                return i;
            }
        }
        throw std::runtime_error("no register " + name);
    }
    uint32_t Read(const std::string& name) { return core.ReadRegister(Reg(name)); }
    uint32_t Pc() { return core.ReadRegister(core.PcIndex()); }

    // Writes bytes the way a debugger downloads: one byte per word, in
    // pieces no larger than the space's transfer limit.
    void WriteBytes(int32_t space, uint64_t address, const std::vector<uint8_t>& bytes)
    {
        const uint32_t limit = core.TransferLimit(space);
        for (size_t done = 0; done < bytes.size();) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(limit, bytes.size() - done));
            std::vector<uint32_t> words(bytes.begin() + done, bytes.begin() + done + n);
            EXPECT_TRUE(core.WriteBlock(space, words.data(), address + done, n)) << std::hex << address + done;
            done += n;
        }
    }
    std::vector<uint8_t> ReadBytes(int32_t space, uint64_t address, uint32_t count)
    {
        std::vector<uint8_t> bytes;
        const uint32_t limit = core.TransferLimit(space);
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = std::min(limit, count - done);
            std::vector<uint32_t> words(n, 0xDEADBEEF);
            EXPECT_TRUE(core.ReadBlock(space, words.data(), address + done, n)) << std::hex << address + done;
            for (uint32_t w : words) {
                EXPECT_LE(w, 0xFFu) << "a read unit carries one byte";
                bytes.push_back(static_cast<uint8_t>(w));
            }
            done += n;
        }
        return bytes;
    }
    uint32_t ReadWord(int32_t space, uint64_t address)
    {
        const auto b = ReadBytes(space, address, 4);
        return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    }
    void WriteWord(int32_t space, uint64_t address, uint32_t value)
    {
        WriteBytes(space, address,
                   {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                    static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
    }
    void WriteCode(uint64_t address, const std::vector<uint16_t>& halfwords)
    {
        std::vector<uint8_t> bytes;
        for (uint16_t h : halfwords) {
            bytes.push_back(static_cast<uint8_t>(h));
            bytes.push_back(static_cast<uint8_t>(h >> 8));
        }
        WriteBytes(kFlash, address, bytes);
    }
    // A vector table that starts the code at `entry`, then a reset.
    void BootAt(uint32_t entry)
    {
        WriteWord(kFlash, 0, kStackTop);
        WriteWord(kFlash, 4, entry | 1u);
        core.Reset();
    }

    ArmCortexMCore core;
};

// --- Firmware image --------------------------------------------------------------

struct Segment {
    uint64_t address;
    std::vector<uint8_t> bytes;
};

struct Symbol {
    uint64_t value;
    uint64_t size;
};

struct FirmwareImage {
    std::vector<Segment> segments;
    std::map<std::string, Symbol> symbols;
};

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};

struct FdCloser {
    void operator()(const int* fd) const
    {
        ::close(*fd);
        delete fd;
    }
};

// Reads the loadable segments (at their load addresses) and the symbol
// table of an ELF file.
FirmwareImage ReadElf(const std::string& path)
{
    if (elf_version(EV_CURRENT) == EV_NONE) {
        throw std::runtime_error("libelf out of date");
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    const std::unique_ptr<const int, FdCloser> fdGuard(new int(fd));
    const std::unique_ptr<Elf, ElfCloser> elf(elf_begin(fd, ELF_C_READ, nullptr));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) {
        throw std::runtime_error(path + " is not an ELF file");
    }

    FirmwareImage image;
    size_t fileSize = 0;
    const char* file = elf_rawfile(elf.get(), &fileSize);
    size_t headerCount = 0;
    if (file == nullptr || elf_getphdrnum(elf.get(), &headerCount) != 0) {
        throw std::runtime_error("no program headers in " + path);
    }
    for (size_t i = 0; i < headerCount; ++i) {
        GElf_Phdr header;
        if (gelf_getphdr(elf.get(), static_cast<int>(i), &header) == nullptr ||
            header.p_type != PT_LOAD || header.p_filesz == 0) {
            continue;
        }
        if (header.p_offset + header.p_filesz > fileSize) {
            throw std::runtime_error("segment beyond the end of " + path);
        }
        const auto* first = reinterpret_cast<const uint8_t*>(file) + header.p_offset;
        image.segments.push_back({header.p_paddr, {first, first + header.p_filesz}});
    }

    for (Elf_Scn* section = nullptr; (section = elf_nextscn(elf.get(), section)) != nullptr;) {
        GElf_Shdr sectionHeader;
        if (gelf_getshdr(section, &sectionHeader) == nullptr ||
            sectionHeader.sh_type != SHT_SYMTAB || sectionHeader.sh_entsize == 0) {
            continue;
        }
        Elf_Data* data = elf_getdata(section, nullptr);
        const size_t count = sectionHeader.sh_size / sectionHeader.sh_entsize;
        for (size_t i = 0; data != nullptr && i < count; ++i) {
            GElf_Sym symbol;
            if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) {
                continue;
            }
            const char* name = elf_strptr(elf.get(), sectionHeader.sh_link, symbol.st_name);
            if (name != nullptr && *name != '\0') {
                image.symbols[name] = {symbol.st_value, symbol.st_size};
            }
        }
    }
    return image;
}

// The values compute_table stores: table[i] = i*i*i + 3*i + 7.
std::vector<uint32_t> ExpectedTable()
{
    std::vector<uint32_t> values(16);
    for (uint32_t i = 0; i < values.size(); ++i) {
        values[i] = i * i * i + 3 * i + 7;
    }
    return values;
}

class FirmwareTest : public CoreFixture {
protected:
    void SetUp() override
    {
#ifndef DIORX_FIRMWARE_ELF
        GTEST_SKIP() << "the demo firmware was not built (no arm-none-eabi-gcc)";
#else
        image = ReadElf(DIORX_FIRMWARE_ELF);
        ASSERT_FALSE(image.segments.empty());
        Download(core);
#endif
    }

    void Download(ArmCortexMCore& target)
    {
        ASSERT_TRUE(target.BeginDownload(kFlash));
        for (const Segment& segment : image.segments) {
            const uint32_t limit = target.TransferLimit(kFlash);
            for (size_t done = 0; done < segment.bytes.size(); done += limit) {
                const size_t n = std::min<size_t>(limit, segment.bytes.size() - done);
                const std::vector<uint32_t> words(segment.bytes.begin() + done,
                                                  segment.bytes.begin() + done + n);
                ASSERT_TRUE(target.WriteBlock(kFlash, words.data(), segment.address + done,
                                              static_cast<uint32_t>(n)));
            }
        }
        ASSERT_TRUE(target.EndDownload(kFlash));
        target.Reset();
    }

    const Symbol& Sym(const std::string& name)
    {
        const auto it = image.symbols.find(name);
        if (it == image.symbols.end()) {
            throw std::runtime_error("firmware has no symbol " + name);
        }
        return it->second;
    }
    // Thumb function symbols carry bit 0; the code starts at the even address.
    uint32_t CodeAddress(const std::string& name)
    {
        return static_cast<uint32_t>(Sym(name).value) & ~1u;
    }
    uint32_t LoopCount() { return ReadWord(kRam, Sym("loop_count").value); }
    std::vector<uint32_t> Table()
    {
        const auto bytes = ReadBytes(kRam, Sym("table").value, 16 * 4);
        std::vector<uint32_t> words(16);
        for (size_t i = 0; i < words.size(); ++i) {
            words[i] = bytes[4 * i] | (bytes[4 * i + 1] << 8) | (bytes[4 * i + 2] << 16) |
                       (static_cast<uint32_t>(bytes[4 * i + 3]) << 24);
        }
        return words;
    }
    bool InMain(uint32_t pc)
    {
        const uint32_t main = CodeAddress("main");
        return pc >= main && pc < main + Sym("main").size;
    }
    // Runs the firmware into its endless loop and pauses it there.
    uint32_t PauseInMainLoop()
    {
        core.Continue();
        EXPECT_TRUE(Eventually([&] { return LoopCount() > 0; }));
        core.Pause();
        EXPECT_TRUE(core.IsHalted());
        return Pc();
    }

    FirmwareImage image;
};

// --- Description of the core -----------------------------------------------------

TEST(ArmCortexMCoreLayout, RegistersAndSpacesAreNamedAsTheDebuggerExpects)
{
    ArmCortexMCore core;
    const std::vector<std::string> names = {"R0", "R1", "R2",  "R3",  "R4",  "R5",
                                            "R6", "R7", "R8",  "R9",  "R10", "R11",
                                            "R12", "SP", "LR", "PC", "XPSR"};
    ASSERT_EQ(core.RegisterCount(), static_cast<int32_t>(names.size()));
    for (int32_t i = 0; i < core.RegisterCount(); ++i) {
        EXPECT_EQ(core.RegisterName(i), names[i]) << "register " << i;
    }
    EXPECT_EQ(core.RegisterName(core.PcIndex()), "PC");
    EXPECT_EQ(core.RegisterName(-1), "");
    EXPECT_EQ(core.RegisterName(core.RegisterCount()), "");

    ASSERT_EQ(core.MemorySpaceCount(), 3);
    EXPECT_EQ(core.MemorySpaceName(ArmCortexMCore::kMemorySpace), "MEMORY");
    EXPECT_EQ(core.MemorySpaceName(kFlash), "FLASH");
    EXPECT_EQ(core.MemorySpaceName(kRam), "RAM");
    for (int32_t space = 0; space < core.MemorySpaceCount(); ++space) {
        EXPECT_GE(core.TransferLimit(space), 1024u) << "a probe moves at least 1,024 units per block";
    }
    EXPECT_EQ(core.TransferLimit(core.MemorySpaceCount()), 0u);
    EXPECT_EQ(core.BreakpointSpaceId(), std::optional<uint32_t>(1));
    EXPECT_TRUE(core.IsNotStarted());
    EXPECT_FALSE(core.IsRunning());
    EXPECT_FALSE(core.IsHalted());
}

// --- Reset ---------------------------------------------------------------------

struct VectorCase {
    uint32_t sp;
    uint32_t resetVector;
};

std::ostream& operator<<(std::ostream& out, const VectorCase& c)
{
    return out << std::hex << "SP 0x" << c.sp << ", reset vector 0x" << c.resetVector;
}

class ResetFromVectors : public CoreFixture, public ::testing::WithParamInterface<VectorCase> {};

TEST_P(ResetFromVectors, LoadsSpAndPcFromTheFirstTwoWords)
{
    const VectorCase c = GetParam();
    WriteWord(kFlash, 0, c.sp);
    WriteWord(kFlash, 4, c.resetVector);
    core.Step(1);  // Leave the not-started state to see that Reset restores it.
    core.Reset();

    EXPECT_EQ(Read("SP"), c.sp);
    EXPECT_EQ(Pc(), c.resetVector & ~1u);
    EXPECT_NE(Read("XPSR") & (1u << 24), 0u) << "the core starts in Thumb state";
    EXPECT_TRUE(core.IsNotStarted());
    EXPECT_FALSE(core.IsHalted());
    EXPECT_FALSE(core.IsRunning());
}

INSTANTIATE_TEST_SUITE_P(Vectors, ResetFromVectors,
                         ::testing::Values(VectorCase{0x20010000, 0x00000101},
                                           VectorCase{0x20008000, 0x00000401},
                                           // An even reset vector still runs Thumb code.
                                           VectorCase{0x20000800, 0x00000200}));

TEST_F(CoreFixture, ResetVectorWithoutThumbBitStillExecutesThumb)
{
    WriteCode(0x200, {kMovsR0_5, kBranchSelf});
    WriteWord(kFlash, 0, kStackTop);
    WriteWord(kFlash, 4, 0x200);
    core.Reset();
    core.Step(1);
    EXPECT_EQ(Read("R0"), 5u);
    EXPECT_EQ(Pc(), 0x202u);
}

TEST_F(FirmwareTest, ResetPointsAtTheResetHandlerWithTheStackAtTopOfRam)
{
    EXPECT_EQ(Read("SP"), Sym("_estack").value);
    EXPECT_EQ(Read("SP"), 0x20010000u);
    EXPECT_EQ(Pc(), CodeAddress("Reset_Handler"));
    EXPECT_TRUE(core.IsNotStarted());
}

TEST_F(FirmwareTest, ResetWhileRunningStopsAndReturnsToTheResetHandler)
{
    core.Continue();
    ASSERT_TRUE(Eventually([&] { return LoopCount() > 0; }));
    core.Reset();
    EXPECT_TRUE(core.IsNotStarted());
    EXPECT_FALSE(core.IsRunning());
    EXPECT_EQ(Pc(), CodeAddress("Reset_Handler"));
    // Reset does not clear RAM; the program run leaves its trace.
    const uint32_t count = LoopCount();
    EXPECT_GT(count, 0u);
    EXPECT_EQ(LoopCount(), count) << "the core still runs after Reset";
}

// --- Stepping ------------------------------------------------------------------

// Every instruction of this sequence adds one to R0, in 16- and 32-bit
// encodings, so R0 counts the instructions executed. It ends in "b .".
const std::vector<uint16_t> kCountingCode = {
    kAdds16, kAddW32[0], kAddW32[1], kAdds16, kAdds16, kAddW32[0], kAddW32[1],
    kAddW32[0], kAddW32[1], kAdds16, kBranchSelf};
constexpr uint32_t kCodeBase = 0x100;
constexpr uint32_t kCountingInstructions = 7;

struct StepCase {
    uint32_t count;
};

std::ostream& operator<<(std::ostream& out, const StepCase& c)
{
    return out << "Step(" << c.count << ")";
}

class StepCounting : public CoreFixture, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepCounting, ExecutesExactlyCountInstructions)
{
    WriteCode(kCodeBase, kCountingCode);
    BootAt(kCodeBase);
    const uint32_t count = GetParam().count;

    // The expected PC: walk the halfwords with the size rule; "b ." never
    // moves the PC on.
    uint32_t expectedPc = kCodeBase;
    uint32_t executedAdds = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t first = kCountingCode[(expectedPc - kCodeBase) / 2];
        if (first == kBranchSelf) {
            break;
        }
        expectedPc += ThumbSize(first);
        ++executedAdds;
    }

    core.Step(count);
    EXPECT_EQ(Pc(), expectedPc);
    EXPECT_EQ(Read("R0"), executedAdds);
    EXPECT_TRUE(core.IsHalted());
    EXPECT_FALSE(core.IsRunning());
    EXPECT_EQ(core.LastStopReason(), StopReason::Step);
}

INSTANTIATE_TEST_SUITE_P(Counts, StepCounting,
                         ::testing::Values(StepCase{0}, StepCase{1}, StepCase{2}, StepCase{3},
                                           StepCase{5}, StepCase{kCountingInstructions},
                                           StepCase{kCountingInstructions + 5}));

TEST_F(CoreFixture, SingleStepsAddUpToOneMultiStep)
{
    WriteCode(kCodeBase, kCountingCode);
    BootAt(kCodeBase);
    for (uint32_t i = 0; i < 4; ++i) {
        core.Step(1);
    }
    const uint32_t pcAfterSingles = Pc();
    BootAt(kCodeBase);
    core.Step(4);
    EXPECT_EQ(Pc(), pcAfterSingles);
    EXPECT_EQ(Read("R0"), 4u);
}

// A step longer than the core runs inside the call goes on after the call has
// returned, like a continue, and still counts exactly.
TEST_F(CoreFixture, LongStepRunsOnAfterTheCallExactlyOrUntilPaused)
{
    // 0x100 adds r0, #1; 0x102 b 0x100: one add per two instructions.
    WriteCode(kCodeBase, {kAdds16, 0xE7FD});
    const uint32_t count = ArmCortexMCore::kInlineStepLimit + 2;
    BootAt(kCodeBase);
    core.Step(count);
    ASSERT_TRUE(Eventually([&] { return core.IsHalted(); })) << "the step never finished";
    EXPECT_EQ(core.LastStopReason(), StopReason::Step);
    EXPECT_EQ(Read("R0"), count / 2);
    EXPECT_EQ(Pc(), kCodeBase);

    // Billions of instructions: still running when the call returns, and
    // a pause stops it.
    BootAt(kCodeBase);
    core.Step(std::numeric_limits<uint32_t>::max());
    EXPECT_TRUE(core.IsRunning());
    EXPECT_FALSE(core.IsHalted());
    core.Pause();
    EXPECT_TRUE(core.IsHalted());
    EXPECT_EQ(core.LastStopReason(), StopReason::Pause);

    // The largest step that runs inside the call returns halted.
    BootAt(kCodeBase);
    core.Step(ArmCortexMCore::kInlineStepLimit);
    EXPECT_TRUE(core.IsHalted());
    EXPECT_EQ(Read("R0"), ArmCortexMCore::kInlineStepLimit / 2);
}

// --- Breakpoints while running and stepping ----------------------------------------

// A debugger's continue is "step once, then run": the step lifts the run off
// a breakpoint under the PC, and the run must then stop at the very next
// breakpoint, even on the instruction it resumes from.
struct BreakCase {
    const char* what;
    std::vector<uint16_t> code;  // At kCodeBase; R0 counts the adds executed.
    uint32_t start;
    std::vector<uint64_t> breakpoints;  // As the debugger adds them (Thumb bit or not).
    uint32_t lr;
    uint32_t steps;     // Step(steps) first, unless 0;
    bool thenContinue;  // then Continue and wait for the halt.
    uint32_t stopPc;
    uint32_t executedAdds;
    StopReason reason;
};

std::ostream& operator<<(std::ostream& out, const BreakCase& c)
{
    return out << c.what;
}

class BreakpointStops : public CoreFixture, public ::testing::WithParamInterface<BreakCase> {};

TEST_P(BreakpointStops, StopBeforeTheInstructionLikeSilicon)
{
    const BreakCase& c = GetParam();
    WriteCode(kCodeBase, c.code);
    BootAt(c.start);
    core.WriteRegister(Reg("LR"), c.lr);
    for (uint64_t address : c.breakpoints) {
        ASSERT_TRUE(core.AddBreakpoint(kBpSpace, address));
    }
    if (c.steps > 0) {
        core.Step(c.steps);
    }
    if (c.thenContinue) {
        core.Continue();
        ASSERT_TRUE(Eventually([&] { return core.IsHalted(); })) << "the run never stopped";
    }
    EXPECT_EQ(Pc(), c.stopPc);
    EXPECT_EQ(Read("R0"), c.executedAdds);
    EXPECT_EQ(core.LastStopReason(), c.reason);
}

// kCountingCode: 0x100 adds, 0x102 add.w, 0x106 adds, 0x108 adds, 0x10A add.w,
// 0x10E add.w, 0x112 adds, 0x114 b .
const std::vector<uint16_t> kReturnCode = {kBxLr, kAdds16, kAdds16, kAdds16, kBranchSelf};

INSTANTIATE_TEST_SUITE_P(
    Cases, BreakpointStops,
    ::testing::Values(
        BreakCase{"continue on a breakpoint stops there at once", kCountingCode, 0x100, {0x100}, 0, 0,
                  true, 0x100, 0, StopReason::Breakpoint},
        BreakCase{"continue stops at a breakpoint on the instruction it resumes from", kCountingCode,
                  0x106, {0x107}, 0, 0, true, 0x106, 0, StopReason::Breakpoint},
        BreakCase{"step then continue stops at a breakpoint on the next instruction", kCountingCode,
                  0x102, {0x106}, 0, 1, true, 0x106, 1, StopReason::Breakpoint},
        BreakCase{"step then continue from a breakpoint stops at the next one", kCountingCode, 0x100,
                  {0x101, 0x10F}, 0, 1, true, 0x10E, 5, StopReason::Breakpoint},
        BreakCase{"finish from bx lr: step, then continue onto the return address", kReturnCode, 0x100,
                  {0x105}, 0x105, 1, true, 0x104, 0, StopReason::Breakpoint},
        BreakCase{"a single step passes the breakpoint it starts on", kCountingCode, 0x100, {0x101}, 0, 1,
                  false, 0x102, 1, StopReason::Step},
        BreakCase{"a multi-step passes its first breakpoint and stops at the next", kCountingCode, 0x100,
                  {0x100, 0x106}, 0, 5, false, 0x106, 2, StopReason::Breakpoint},
        BreakCase{"a step may end on a breakpoint", kCountingCode, 0x100, {0x102}, 0, 1, false, 0x102, 1,
                  StopReason::Step},
        BreakCase{"a multi-step over no breakpoint runs its count", kCountingCode, 0x100, {0x112}, 0, 4,
                  false, 0x10A, 4, StopReason::Step}),
    [](const ::testing::TestParamInfo<BreakCase>& info) { return "Case" + std::to_string(info.index); });

TEST_F(CoreFixture, WrittenPcIsWhereExecutionGoesOn)
{
    WriteCode(kCodeBase, kCountingCode);
    BootAt(kCodeBase);
    // Start at the third instruction, given with and without the Thumb bit.
    for (uint32_t written : {kCodeBase + 6, (kCodeBase + 6) | 1u}) {
        core.WriteRegister(core.PcIndex(), written);
        EXPECT_EQ(Pc(), kCodeBase + 6);
        core.WriteRegister(Reg("R0"), 0);
        core.Step(2);
        EXPECT_EQ(Read("R0"), 2u);
        EXPECT_EQ(Pc(), kCodeBase + 10);
    }
}

TEST_F(CoreFixture, RewrittenCodeRunsTheNewInstructions)
{
    // The emulator caches translated code; a download over code that already
    // ran must still take effect.
    WriteCode(kCodeBase, {kMovsR0_5, kBranchSelf});
    BootAt(kCodeBase);
    core.Step(1);
    ASSERT_EQ(Read("R0"), 5u);

    WriteCode(kCodeBase, {kMovsR0_9, kBranchSelf});
    core.WriteRegister(core.PcIndex(), kCodeBase);
    core.Step(1);
    EXPECT_EQ(Read("R0"), 9u);
}

TEST_F(CoreFixture, EachRegisterHoldsItsOwnValue)
{
    // Distinct values in all general registers first, then read back: a
    // register mapped onto another one shows up as a lost value.
    const int32_t generalRegisters = core.PcIndex();  // R0..R12, SP, LR.
    auto valueOf = [](int32_t i) { return 0x20001000u + 0x10u * static_cast<uint32_t>(i); };
    for (int32_t i = 0; i < generalRegisters; ++i) {
        core.WriteRegister(i, valueOf(i));
    }
    for (int32_t i = 0; i < generalRegisters; ++i) {
        EXPECT_EQ(core.ReadRegister(i), valueOf(i)) << core.RegisterName(i);
    }
}

// --- Faults ----------------------------------------------------------------------

// What the program does on the bus: unmapped addresses and stores to FLASH
// fault, as on a real part.
struct FaultCase {
    const char* what;
    uint16_t instruction;  // At kCodeBase, with R1 as its address operand.
    uint32_t r1;
    uint32_t faultPc;  // Where a step onto it leaves the PC: the instruction, or where a jump went.
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c)
{
    return out << c.what;
}

class ProgramFaults : public CoreFixture, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ProgramFaults, HaltWithAFaultBeforeTheInstructionCompletes)
{
    const FaultCase& c = GetParam();
    WriteCode(kCodeBase, {c.instruction, kBranchSelf});
    BootAt(kCodeBase);
    core.WriteRegister(Reg("R0"), 0x5A);
    core.WriteRegister(Reg("R1"), c.r1);
    core.Continue();
    ASSERT_TRUE(Eventually([&] { return !core.IsRunning(); }));
    EXPECT_TRUE(core.IsHalted());
    EXPECT_EQ(core.LastStopReason(), StopReason::Fault);
    EXPECT_FALSE(core.LastFaultMessage().empty());
    EXPECT_EQ(ReadWord(kFlash, 0x200), 0u) << "FLASH unchanged";
}

// A step that meets the fault stops there: the core says the step faulted
// (the host's StepProcessor fails on it); a reset forgets it.
TEST_P(ProgramFaults, AStepOntoTheFaultFailsWithThePcOnTheInstruction)
{
    const FaultCase& c = GetParam();
    WriteCode(kCodeBase, {kAdds16, c.instruction, kBranchSelf});
    BootAt(kCodeBase);
    core.WriteRegister(Reg("R1"), c.r1);
    core.Step(1);
    EXPECT_FALSE(core.StepFaulted()) << "the adds executes";
    core.Step(1);
    EXPECT_TRUE(core.IsHalted());
    EXPECT_TRUE(core.StepFaulted());
    EXPECT_EQ(core.LastStopReason(), StopReason::Fault);
    EXPECT_EQ(Pc(), c.faultPc);
    core.Reset();
    EXPECT_FALSE(core.StepFaulted()) << "a reset forgets the fault";
    BootAt(kCodeBase);
    core.WriteRegister(Reg("R1"), c.r1);
    core.Step(3);
    EXPECT_TRUE(core.StepFaulted()) << "a multi-step that meets the fault fails as well";
    EXPECT_EQ(Pc(), c.faultPc);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramFaults,
    ::testing::Values(FaultCase{"jump to unmapped memory", kBxR1, 0x10000001, 0x10000000},
                      FaultCase{"store to FLASH", kStrR0AtR1, 0x200, kCodeBase + 2},
                      FaultCase{"store to an unmapped address", kStrR0AtR1, 0x40000000, kCodeBase + 2},
                      FaultCase{"load from an unmapped address", kLdrR0FromR1, 0x40000000, kCodeBase + 2},
                      FaultCase{"breakpoint instruction", kBkpt, 0, kCodeBase + 2}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return "Case" + std::to_string(info.index); });

// --- Memory -------------------------------------------------------------------------

TEST_F(CoreFixture, OneByteTravelsPerBufferWord)
{
    const std::vector<uint32_t> words = {0x11, 0x1F2, 0xABCDEF33, 0x00, 0xFF};
    ASSERT_TRUE(core.WriteBlock(kRam, words.data(), 0x20000100, static_cast<uint32_t>(words.size())));
    std::vector<uint32_t> back(words.size(), 0xDEADBEEF);
    ASSERT_TRUE(core.ReadBlock(kRam, back.data(), 0x20000100, static_cast<uint32_t>(back.size())));
    for (size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(back[i], words[i] & 0xFF) << "unit " << i;
    }
    // The bytes in address order form the little-endian word the CPU sees.
    EXPECT_EQ(ReadWord(kRam, 0x20000100), 0x0033F211u);
}

TEST_F(CoreFixture, WholeBusSpaceReachesFlashAndRamByAbsoluteAddress)
{
    const uint32_t flashByte[] = {0x5A};
    const uint32_t ramByte[] = {0xC3};
    ASSERT_TRUE(core.WriteBlock(ArmCortexMCore::kMemorySpace, flashByte, 0x100, 1));
    ASSERT_TRUE(core.WriteBlock(ArmCortexMCore::kMemorySpace, ramByte, 0x20000200, 1));
    uint32_t back = 0;
    ASSERT_TRUE(core.ReadBlock(kFlash, &back, 0x100, 1));
    EXPECT_EQ(back, 0x5Au);
    ASSERT_TRUE(core.ReadBlock(kRam, &back, 0x20000200, 1));
    EXPECT_EQ(back, 0xC3u);
}

// A block transfer is one bus access: it succeeds only if every address it
// touches answers in its space. A refused block reads nothing into the
// buffer and writes nothing anywhere, not even the part that is mapped.
struct RangeCase {
    const char* what;
    int32_t space;
    uint64_t address;
    uint32_t count;
    bool answers;
};

std::ostream& operator<<(std::ostream& out, const RangeCase& c)
{
    return out << c.what;
}

class BusAccess : public CoreFixture, public ::testing::WithParamInterface<RangeCase> {
protected:
    // Is there memory at this bus address?
    static bool OnTheBus(uint64_t address)
    {
        return address < ArmCortexMCore::kFlashBase + ArmCortexMCore::kFlashSize ||
               (address >= ArmCortexMCore::kRamBase && address < ArmCortexMCore::kRamBase + ArmCortexMCore::kRamSize);
    }
    // Every byte that a faulty transfer might reach: the block's addresses,
    // wrapped at 2^64 and cut to 32 bits.
    std::vector<uint64_t> Neighbourhood(const RangeCase& c)
    {
        std::vector<uint64_t> addresses;
        for (uint32_t i = 0; i < c.count; ++i) {
            for (uint64_t a : {c.address + i, (c.address + i) & 0xFFFFFFFFu}) {
                if (OnTheBus(a)) {
                    addresses.push_back(a);
                }
            }
        }
        return addresses;
    }
    uint32_t ByteAt(uint64_t address)
    {
        uint32_t unit = 0xDEADBEEF;
        EXPECT_TRUE(core.ReadBlock(ArmCortexMCore::kMemorySpace, &unit, address, 1));
        return unit;
    }
};

TEST_P(BusAccess, ABlockAnswersWhollyOrNotAtAll)
{
    const RangeCase& c = GetParam();
    constexpr uint32_t kBefore = 0xA5;
    for (uint64_t a : Neighbourhood(c)) {
        const uint32_t unit = kBefore;
        ASSERT_TRUE(core.WriteBlock(ArmCortexMCore::kMemorySpace, &unit, a, 1));
    }

    std::vector<uint32_t> data(c.count);
    std::iota(data.begin(), data.end(), 0x141u);  // Bit 8 set: only the low byte travels.
    EXPECT_EQ(core.WriteBlock(c.space, data.data(), c.address, c.count), c.answers);
    std::vector<uint32_t> back(c.count, 0xDEADBEEF);
    EXPECT_EQ(core.ReadBlock(c.space, back.data(), c.address, c.count), c.answers);

    if (c.answers) {
        for (uint32_t i = 0; i < c.count; ++i) {
            EXPECT_EQ(back[i], data[i] & 0xFF) << "unit " << i;
        }
        return;
    }
    EXPECT_EQ(back, std::vector<uint32_t>(c.count, 0xDEADBEEF)) << "a refused read fills nothing in";
    for (uint64_t a : Neighbourhood(c)) {
        EXPECT_EQ(ByteAt(a), kBefore) << "a refused write changed 0x" << std::hex << a;
    }
}

constexpr uint64_t kFlashEnd = ArmCortexMCore::kFlashBase + ArmCortexMCore::kFlashSize;
constexpr uint64_t kRamBase = ArmCortexMCore::kRamBase;
constexpr uint64_t kRamEnd = ArmCortexMCore::kRamBase + ArmCortexMCore::kRamSize;
constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();
constexpr int32_t kBus = ArmCortexMCore::kMemorySpace;
constexpr uint32_t kLimit = ArmCortexMCore::kTransferLimit;

INSTANTIATE_TEST_SUITE_P(
    Ranges, BusAccess,
    ::testing::Values(
        RangeCase{"inside FLASH", kFlash, 0x1000, 16, true},
        RangeCase{"a full block at the end of FLASH", kFlash, kFlashEnd - kLimit, kLimit, true},
        RangeCase{"a full block at the end of RAM", kRam, kRamEnd - kLimit, kLimit, true},
        RangeCase{"FLASH through the whole bus", kBus, 0x2000, 64, true},
        RangeCase{"RAM through the whole bus", kBus, kRamBase + 0x40, 64, true},
        RangeCase{"zero units anywhere", kBus, 0x40000000, 0, true},
        RangeCase{"across the end of FLASH (an image too large for it)", kFlash, kFlashEnd - 8, 16, false},
        RangeCase{"across the end of FLASH on the whole bus", kBus, kFlashEnd - 1, 2, false},
        RangeCase{"just past FLASH", kFlash, kFlashEnd, 16, false},
        RangeCase{"a peripheral address nothing answers at", kBus, 0x40000000, 1, false},
        RangeCase{"RAM address in the FLASH space", kFlash, kRamBase, 16, false},
        RangeCase{"into RAM from below", kRam, kRamBase - 8, 16, false},
        RangeCase{"across the end of RAM", kRam, kRamEnd - 4, 16, false},
        RangeCase{"FLASH address in the RAM space", kRam, 0x100, 16, false},
        RangeCase{"beyond 32 bits, RAM when cut to 32", kBus, 0x1'0000'0000ull + kRamBase, 16, false},
        RangeCase{"wrapping at the top of the address range into FLASH", kBus, kTop - 3, 8, false},
        RangeCase{"no such space (-1)", -1, 0x100, 16, false},
        RangeCase{"no such space (3)", 3, 0x100, 16, false}),
    [](const ::testing::TestParamInfo<RangeCase>& info) { return "Case" + std::to_string(info.index); });

TEST_F(CoreFixture, BlockWithoutABufferIsRefused)
{
    EXPECT_FALSE(core.WriteBlock(kRam, nullptr, kRamBase, 4));
    EXPECT_FALSE(core.ReadBlock(kRam, nullptr, kRamBase, 4));
}

TEST_F(CoreFixture, DownloadBracketsAcceptTheSpaces)
{
    EXPECT_TRUE(core.BeginDownload(kFlash));
    EXPECT_TRUE(core.EndDownload(kFlash));
    EXPECT_TRUE(core.BeginDownload(kRam));
    EXPECT_TRUE(core.EndDownload(kRam));
    EXPECT_TRUE(core.BeginDownload(ArmCortexMCore::kMemorySpace));
    EXPECT_FALSE(core.BeginDownload(core.MemorySpaceCount()));
    EXPECT_FALSE(core.BeginDownload(-1));
}

// --- Breakpoint bookkeeping --------------------------------------------------------

TEST_F(CoreFixture, BreakpointsAreKeptByExactAddress)
{
    EXPECT_TRUE(core.AddBreakpoint(kBpSpace, 0x1A5));
    EXPECT_FALSE(core.AddBreakpoint(kBpSpace, 0x1A5)) << "already present";
    EXPECT_TRUE(core.HasBreakpoint(kBpSpace, 0x1A5));
    EXPECT_FALSE(core.HasBreakpoint(kBpSpace, 0x1A4)) << "lookup is by the address as added";
    EXPECT_TRUE(core.AddBreakpoint(kBpSpace, 0x1A4));

    EXPECT_FALSE(core.AddBreakpoint(kBpSpace + 1, 0x300)) << "wrong space";
    EXPECT_FALSE(core.HasBreakpoint(kBpSpace + 1, 0x1A5));
    EXPECT_FALSE(core.AddBreakpoint(kBpSpace, 0x1'0000'0000ull));

    core.RemoveBreakpoint(kBpSpace + 1, 0x1A5);
    EXPECT_TRUE(core.HasBreakpoint(kBpSpace, 0x1A5)) << "removal in another space";
    core.RemoveBreakpoint(kBpSpace, 0x1A5);
    EXPECT_FALSE(core.HasBreakpoint(kBpSpace, 0x1A5));
    EXPECT_TRUE(core.HasBreakpoint(kBpSpace, 0x1A4));

    EXPECT_TRUE(core.AddBreakpoint(kBpSpace, 0x2000));
    core.RemoveAllBreakpoints();
    EXPECT_FALSE(core.HasBreakpoint(kBpSpace, 0x1A4));
    EXPECT_FALSE(core.HasBreakpoint(kBpSpace, 0x2000));
}

// --- Running the firmware -----------------------------------------------------------

TEST_F(FirmwareTest, BreakpointAtFunctionStopsBeforeItsFirstInstruction)
{
    // The debugger passes Thumb function addresses with bit 0 set, exactly as
    // the symbol table has them.
    const uint64_t symbol = Sym("compute_table").value;
    ASSERT_EQ(symbol & 1u, 1u);
    ASSERT_TRUE(core.AddBreakpoint(kBpSpace, symbol));

    core.Continue();
    ASSERT_TRUE(Eventually([&] { return core.IsHalted(); }));
    EXPECT_FALSE(core.IsRunning());
    EXPECT_EQ(Pc(), CodeAddress("compute_table"));
    EXPECT_EQ(core.LastStopReason(), StopReason::Breakpoint);
    EXPECT_TRUE(InMain(Read("LR") & ~1u)) << "called from main";
    EXPECT_EQ(Table(), std::vector<uint32_t>(16, 0)) << "compute_table has not run yet";
}

TEST_F(FirmwareTest, LoopWithABreakpointStopsOncePerIterationWhenSteppedOff)
{
    // The breakpoint sits on an instruction of the endless loop. Continue
    // alone stays on it; the debugger's step-then-continue runs exactly one
    // more iteration and stops there again.
    const uint32_t loopPc = PauseInMainLoop();
    ASSERT_TRUE(InMain(loopPc));
    ASSERT_TRUE(core.AddBreakpoint(kBpSpace, loopPc | 1u));

    uint32_t count = LoopCount();
    core.Continue();
    ASSERT_TRUE(Eventually([&] { return core.IsHalted(); }));
    EXPECT_EQ(Pc(), loopPc);
    EXPECT_EQ(core.LastStopReason(), StopReason::Breakpoint);
    EXPECT_EQ(LoopCount(), count) << "continue on a breakpoint executes nothing";

    for (int i = 0; i < 3; ++i) {
        core.Step(1);
        core.Continue();
        ASSERT_TRUE(Eventually([&] { return core.IsHalted(); }));
        EXPECT_EQ(Pc(), loopPc);
        EXPECT_EQ(core.LastStopReason(), StopReason::Breakpoint);
        EXPECT_EQ(LoopCount(), count + 1) << "iteration " << i;
        count = LoopCount();
    }

    // Without the breakpoint the loop runs on freely.
    core.RemoveBreakpoint(kBpSpace, loopPc | 1u);
    core.Continue();
    EXPECT_TRUE(Eventually([&] { return LoopCount() > count + 1000; }));
    EXPECT_TRUE(core.IsRunning());
    core.Pause();
}

TEST_F(FirmwareTest, BreakpointAddedWhileRunningStopsTheProgram)
{
    const uint32_t loopPc = PauseInMainLoop();
    core.Continue();
    ASSERT_TRUE(core.IsRunning());
    ASSERT_TRUE(core.AddBreakpoint(kBpSpace, loopPc | 1u));
    ASSERT_TRUE(Eventually([&] { return core.IsHalted(); }));
    EXPECT_EQ(Pc(), loopPc);
    EXPECT_EQ(core.LastStopReason(), StopReason::Breakpoint);
}

TEST_F(FirmwareTest, FreeRunningProgramRunsUntilPaused)
{
    core.Continue();
    EXPECT_TRUE(core.IsRunning());
    EXPECT_FALSE(core.IsHalted());
    EXPECT_FALSE(core.IsNotStarted());

    // Memory reads while running see the program progress and leave it
    // running.
    ASSERT_TRUE(Eventually([&] { return LoopCount() > 0; }));
    const uint32_t first = LoopCount();
    ASSERT_TRUE(Eventually([&] { return LoopCount() > first; }));
    EXPECT_TRUE(core.IsRunning());

    core.Pause();
    EXPECT_TRUE(core.IsHalted());
    EXPECT_FALSE(core.IsRunning());
    EXPECT_EQ(core.LastStopReason(), StopReason::Pause);
    EXPECT_TRUE(InMain(Pc()));

    const uint32_t paused = LoopCount();
    EXPECT_GT(paused, first);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(LoopCount(), paused) << "a paused core does not execute";
}

TEST_F(FirmwareTest, ProgramFillsTheTableWithItsFormula)
{
    EXPECT_EQ(Table(), std::vector<uint32_t>(16, 0)) << "not run yet";
    PauseInMainLoop();
    EXPECT_EQ(Table(), ExpectedTable());
}

TEST_F(FirmwareTest, RegisterAccessWhileRunningLeavesTheProgramRunning)
{
    core.Continue();
    for (int i = 0; i < 50; ++i) {
        const uint32_t pc = Pc();
        // After compute_table returns, every stop is in main's loop; before,
        // the PC is somewhere in the firmware.
        EXPECT_LT(pc, ArmCortexMCore::kFlashSize);
        EXPECT_TRUE(core.IsRunning());
    }
    ASSERT_TRUE(Eventually([&] { return LoopCount() > 100; }));
    core.Pause();
    EXPECT_EQ(Table(), ExpectedTable());
}

TEST_F(FirmwareTest, SteppingAfterABreakpointWalksIntoTheFunction)
{
    ASSERT_TRUE(core.AddBreakpoint(kBpSpace, Sym("compute_table").value));
    core.Continue();
    ASSERT_TRUE(Eventually([&] { return core.IsHalted(); }));
    const uint32_t start = Pc();

    // The first instruction of compute_table is not a branch, so one step
    // moves by its size.
    const auto bytes = ReadBytes(kFlash, start, 2);
    const uint16_t first = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    core.Step(1);
    EXPECT_EQ(Pc(), start + ThumbSize(first));
    EXPECT_TRUE(core.IsHalted());
}

TEST_F(FirmwareTest, DestroyingARunningCoreStopsIt)
{
    auto running = std::make_unique<ArmCortexMCore>();
    Download(*running);
    running->Continue();
    ASSERT_TRUE(running->IsRunning());
    running.reset();  // Must join the worker, not hang or crash.
}

}  // namespace
