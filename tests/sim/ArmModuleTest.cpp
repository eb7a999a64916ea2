// The Cortex-M core behind the module's exports, end to end: the module's
// own run control and transfers (step then continue, download blocks, memory
// writes) against the core's breakpoint and bus behaviour.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/arm/ArmCortexMCore.h"
#include "tests/support/GdiCalls.h"

namespace {

using namespace gditest;
using sim::ArmCortexMCore;

constexpr int32_t kPcId = 15;
constexpr int32_t kLrId = 14;
constexpr int32_t kR0Id = 0;
constexpr uint32_t kBus = 0;  // The front-end's id for MEMORY.

// A run that never stops fails the test instead of hanging it: the wait is
// cancelled after 20 polls (10 seconds).
int g_polls = 0;
void DI_CDECL CancelLongWaits()
{
    if (++g_polls % 20 == 0) {
        DiGdiCancel();
    }
}

class ArmThroughModule : public GdiSessionTest {
protected:
    void SetUp() override
    {
        GdiSessionTest::SetUp();
        g_polls = 0;
        core = std::make_shared<ArmCortexMCore>();
        host.AddProcessor("CORTEXM", core);
    }

    // Opens a session for the ARM family with the core's registers as ids
    // 0..16 (the PC as 15) and MEMORY as id 0.
    static void OpenArm()
    {
        const char* argv[] = {ArmPath, "-p", "CORTEXM"};
        ASSERT_EQ(DiGdiOpen(0, 0, 3, argv, &CancelLongWaits), GdiOk);
        static const char* const names[] = {"R0", "R1", "R2",  "R3", "R4", "R5", "R6", "R7",  "R8",
                                            "R9", "R10", "R11", "R12", "SP", "LR", "PC", "XPSR"};
        std::vector<GdiMapEntry> registers;
        for (int32_t i = 0; i < 17; ++i) {
            registers.push_back(Entry(names[i], i));
        }
        ASSERT_EQ(DiGdiInitRegisterMap(17, registers.data(), kPcId), GdiOk);
        GdiMapEntry space = Entry("MEMORY", kBus);
        ASSERT_EQ(DiGdiInitMemorySpaceMap(1, &space), GdiOk);
    }

    // Writes bytes straight into the core, before any front-end runs.
    void Poke(uint32_t address, const std::vector<uint8_t>& bytes)
    {
        const std::vector<uint32_t> units(bytes.begin(), bytes.end());
        ASSERT_TRUE(core->WriteBlock(ArmCortexMCore::kMemorySpace, units.data(), address,
                                     static_cast<uint32_t>(units.size())));
    }
    std::vector<uint8_t> Peek(uint32_t address, uint32_t count)
    {
        std::vector<uint32_t> units(count);
        EXPECT_TRUE(core->ReadBlock(ArmCortexMCore::kMemorySpace, units.data(), address, count));
        return {units.begin(), units.end()};
    }

    static uint32_t ReadRegister(int32_t id)
    {
        GdiValue value{};
        EXPECT_EQ(DiRegisterRead(id, &value), GdiOk);
        EXPECT_EQ(StatusOf(value), static_cast<uint32_t>(ValueValid));
        return GatherWord(value);
    }
    static void WriteRegister(int32_t id, uint32_t word)
    {
        GdiValue value{};
        SpreadWord(value, word);
        ASSERT_EQ(DiRegisterWrite(id, value), GdiOk);
    }
    // A Thumb breakpoint, as a front-end asks for one: the even instruction
    // address with qualifier 2. Returns its id.
    static uint32_t Break(uint32_t address)
    {
        GdiBreakpointResult result{};
        EXPECT_EQ(DiBreakpointSet(&result, Breakpoint(1, address, 2)), GdiOk);
        return LoadLE32(result.breakpointId);
    }
    static GdiExitStatus Status()
    {
        GdiExitStatus status{};
        EXPECT_EQ(DiExecGetStatus(&status), GdiOk);
        return status;
    }

    std::shared_ptr<ArmCortexMCore> core;
};

TEST_F(ArmThroughModule, ContinueStopsAtABreakpointOnTheNextInstructionAndFinishReturns)
{
    // 0x100 adds r0,#1; 0x102 adds r0,#1; 0x104 bx lr; 0x106 b .;
    // 0x108 adds r0,#1 (the return address); 0x10A b .
    Poke(0x100, {0x01, 0x30, 0x01, 0x30, 0x70, 0x47, 0xFE, 0xE7, 0x01, 0x30, 0xFE, 0xE7});
    Poke(0, {0x00, 0x00, 0x01, 0x20, 0x01, 0x01, 0x00, 0x00});  // SP 0x20010000, reset at 0x100.

    FrontEnd([&] {
        OpenArm();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        ASSERT_EQ(ReadRegister(kPcId), 0x100u);

        // The module steps once before it runs, which puts the PC on the
        // breakpoint's instruction: the run must stop there at once.
        const uint32_t next = Break(0x102);
        ASSERT_EQ(DiExecContinue(), GdiOk);
        GdiExitStatus status = Status();
        EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseBreakpoint));
        EXPECT_EQ(LoadLE32(status.breakpointId), next);
        EXPECT_EQ(ReadRegister(kPcId), 0x102u);
        EXPECT_EQ(ReadRegister(kR0Id), 1u);

        // finish from the bx lr: a breakpoint at the return address, then
        // continue, whose step executes the bx lr itself.
        ASSERT_EQ(DiExecSingleStep(1), GdiOk);
        ASSERT_EQ(ReadRegister(kPcId), 0x104u);
        WriteRegister(kLrId, 0x109);
        const uint32_t back = Break(0x108);
        ASSERT_EQ(DiExecContinue(), GdiOk);
        status = Status();
        EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseBreakpoint));
        EXPECT_EQ(LoadLE32(status.breakpointId), back);
        EXPECT_EQ(ReadRegister(kPcId), 0x108u);
        EXPECT_EQ(ReadRegister(kR0Id), 2u);
    });
}

TEST_F(ArmThroughModule, SingleStepIsExactAndALongStepIsAWaitThatACancelEnds)
{
    // 0x100 adds r0,#1; 0x102 b 0x100.
    Poke(0x100, {0x01, 0x30, 0xFD, 0xE7});
    Poke(0, {0x00, 0x00, 0x01, 0x20, 0x01, 0x01, 0x00, 0x00});  // SP 0x20010000, reset at 0x100.
    ScopedPollPeriod fastPoll(FastPollMs);

    FrontEnd([&] {
        OpenArm();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        ASSERT_EQ(DiExecSingleStep(1), GdiOk);
        EXPECT_EQ(ReadRegister(kPcId), 0x102u);
        EXPECT_EQ(ReadRegister(kR0Id), 1u);
        EXPECT_EQ(g_polls, 0) << "a single step finishes inside the host's call";

        // Billions of instructions: the host's call returns with the core
        // still running, the module waits, and the first poll cancels.
        g_polls = 19;
        EXPECT_EQ(DiExecSingleStep(0xFFFFFFFFu), GdiFailed);
        EXPECT_EQ(g_polls, 20) << "ended by the cancel at the first poll";
        EXPECT_TRUE(core->IsRunning());
        ASSERT_EQ(DiExecStop(), GdiOk);
        EXPECT_EQ(core->LastStopReason(), ArmCortexMCore::StopReason::Pause);
    });
}

TEST_F(ArmThroughModule, UnmappedAddressesFailAndChangeNothing)
{
    constexpr uint32_t kFlashEnd = ArmCortexMCore::kFlashSize;
    Poke(kFlashEnd - 4, {0x11, 0x22, 0x33, 0x44});
    std::vector<uint8_t> image(1024);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i);
    }

    FrontEnd([&] {
        OpenArm();
        ASSERT_EQ(MemoryDownload(0, Format(0, kBus, 0), nullptr), GdiOk);
        // A whole block of the module's largest size goes out in one piece.
        EXPECT_EQ(MemoryDownload(1, Format(1024, kBus, 0x1000), image.data()), GdiOk);
        // An image running past the end of FLASH is refused, not cut short.
        EXPECT_EQ(MemoryDownload(1, Format(16, kBus, kFlashEnd - 4), image.data()), GdiDownloadFailed);
        EXPECT_EQ(MemoryDownload(2, Format(0, kBus, 0), nullptr), GdiOk);

        const GdiValue seven = Value({0, 0, 0, 0, 0, 0, 0, 7});
        EXPECT_EQ(DiMemoryWrite(Address(kBus, 0x40000000), &seven, 1), GdiFailed) << "no memory there";
        GdiValue read[2] = {Filled(0xCC), Filled(0xCC)};
        ASSERT_EQ(DiMemoryRead(Address(kBus, 0x40000000), read, 2), GdiOk);
        EXPECT_EQ(StatusOf(read[0]), static_cast<uint32_t>(MemoryNotRead));
        EXPECT_EQ(StatusOf(read[1]), static_cast<uint32_t>(MemoryNotRead));
    });

    EXPECT_EQ(Peek(0x1000, 1024), image);
    EXPECT_EQ(Peek(kFlashEnd - 4, 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
}

TEST_F(ArmThroughModule, DownloadedLoopRunsThousandsOfInstructionsToItsBreakpoint)
{
    // An image longer than one download block: a counting loop at 0x1000,
    // then a pattern to its end.
    //   0x1000 movs r1,#200; lsls r1,r1,#5 (6400); movs r0,#0
    //   0x1006 adds r0,#1; subs r1,#1; bne 0x1006
    //   0x100C b .
    constexpr uint32_t kImage = 0x1000;
    constexpr uint32_t kDone = 0x100C;
    constexpr uint32_t kIterations = 6400;
    std::vector<uint8_t> image = {0xC8, 0x21, 0x49, 0x01, 0x00, 0x20, 0x01, 0x30,
                                  0x01, 0x39, 0xFC, 0xD1, 0xFE, 0xE7};
    for (uint32_t i = static_cast<uint32_t>(image.size()); i < 1500; ++i) {
        image.push_back(static_cast<uint8_t>(i * 7 + i / 256 + 1));
    }
    Poke(0, {0x00, 0x00, 0x01, 0x20, 0x01, 0x10, 0x00, 0x00});  // SP 0x20010000, reset at 0x1000.

    FrontEnd([&] {
        OpenArm();
        ASSERT_EQ(MemoryDownload(0, Format(0, kBus, 0), nullptr), GdiOk);
        ASSERT_EQ(MemoryDownload(1, Format(static_cast<uint32_t>(image.size()), kBus, kImage), image.data()), GdiOk);
        ASSERT_EQ(MemoryDownload(2, Format(0, kBus, 0), nullptr), GdiOk);

        // Read back through the module, byte for byte, in reads of at most
        // one block (1,024 units); a longer read returns one block and marks
        // the rest not read.
        std::vector<GdiValue> read(1030, Filled(0xCC));
        ASSERT_EQ(DiMemoryRead(Address(kBus, kImage), read.data(), 1030), GdiOk);
        for (uint32_t i = 0; i < 1030; ++i) {
            ASSERT_EQ(StatusOf(read[i]), static_cast<uint32_t>(i < 1024 ? ValueValid : MemoryNotRead)) << i;
            if (i < 1024) {
                ASSERT_EQ(GatherWord(read[i]), image[i]) << i;
            }
        }
        std::vector<GdiValue> rest(image.size() - 1024, Filled(0xCC));
        ASSERT_EQ(DiMemoryRead(Address(kBus, kImage + 1024), rest.data(), static_cast<uint32_t>(rest.size())), GdiOk);
        for (size_t i = 0; i < rest.size(); ++i) {
            ASSERT_EQ(StatusOf(rest[i]), static_cast<uint32_t>(ValueValid)) << i;
            ASSERT_EQ(GatherWord(rest[i]), image[1024 + i]) << 1024 + i;
        }

        ASSERT_EQ(DiExecResetChild(), GdiOk);
        ASSERT_EQ(ReadRegister(kPcId), kImage);
        const uint32_t id = Break(kDone);
        ASSERT_EQ(DiExecContinue(), GdiOk);
        const GdiExitStatus status = Status();
        EXPECT_EQ(LoadLE32(status.cause), static_cast<uint32_t>(CauseBreakpoint));
        EXPECT_EQ(LoadLE32(status.breakpointId), id);
        EXPECT_EQ(ReadRegister(kPcId), kDone);
        // Three instructions per iteration: the core ran about 19,000.
        EXPECT_EQ(ReadRegister(kR0Id), kIterations);
        EXPECT_EQ(ReadRegister(1), 0u);
    });
}

// A step whose instruction faults did not happen: DiExecSingleStep fails
// (the host's step fails) and the status does not claim a single step, so a
// front-end cannot mistake it for progress. The same holds for the step a
// continue makes first, and for a breakpoint instruction.
TEST_F(ArmThroughModule, AStepThatFaultsFailsAndLeavesThePcOnTheInstruction)
{
    // 0x100 adds r0,#1; 0x102 ldr r0,[r1]; 0x104 bkpt #0x2a; 0x106 b .
    Poke(0x100, {0x01, 0x30, 0x08, 0x68, 0x2A, 0xBE, 0xFE, 0xE7});
    Poke(0, {0x00, 0x00, 0x01, 0x20, 0x01, 0x01, 0x00, 0x00});  // SP 0x20010000, reset at 0x100.

    FrontEnd([&] {
        OpenArm();
        ASSERT_EQ(DiExecResetChild(), GdiOk);
        WriteRegister(1, 0x40000000);  // r1: nothing answers there
        ASSERT_EQ(DiExecSingleStep(1), GdiOk);
        EXPECT_EQ(LoadLE32(Status().cause), static_cast<uint32_t>(CauseSingleStep));
        ASSERT_EQ(ReadRegister(kPcId), 0x102u);

        EXPECT_EQ(DiExecSingleStep(1), GdiFailed);
        EXPECT_EQ(ReadRegister(kPcId), 0x102u);
        EXPECT_EQ(DiExecContinue(), GdiFailed) << "its first step faults";
        EXPECT_EQ(ReadRegister(kPcId), 0x102u);

        ASSERT_EQ(DiExecResetChild(), GdiOk);
        WriteRegister(kPcId, 0x104);
        EXPECT_EQ(DiExecSingleStep(1), GdiFailed) << "a bkpt stops the core where it is";
        EXPECT_EQ(LoadLE32(Status().cause), static_cast<uint32_t>(CauseStopped)) << "not a single step";
        EXPECT_EQ(ReadRegister(kPcId), 0x104u);
    });
}

}  // namespace
