// The rules that differ between processor families, each checked over all
// eight families at the exported boundary against the scripted processor.
// The family comes from the front-end's path alone; each row names the path
// that selects it. Only ARM departs from the others: memory operations always
// go to memory space 0, the stop check probes the PC plus one (and writes the
// PC back unchanged) instead of the PC minus one (moving the PC back), a
// qualifier-2 breakpoint sits one byte on, and two features words are set.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gdi/GDI.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;
using State = sim::ScriptedProcessor::State;

namespace {

// The front-end executables, one per family.
constexpr const char* Qdv51Path = "C:\\Tools\\qdv51.exe";
constexpr const char* QdvLx8Path = "C:\\Tools\\qdvlx8.exe";
constexpr const char* QdvZ80Path = "C:\\Tools\\qdvz80.exe";
constexpr const char* QdvLx32Path = Lx32Path;  // C:\Tools\qdvlx32.exe
constexpr const char* QdvPpcPath = "C:\\Tools\\qdvppc.exe";
constexpr const char* QdvMbPath = "C:\\Tools\\qdvmb.exe";
constexpr const char* QdvNiosPath = "C:\\Tools\\qdvnios.exe";
constexpr const char* QdvArmPath = ArmPath;  // C:\Tools\qdvarm.exe

constexpr int32_t DataIndex = 0;  // the host's memory-space indexes
constexpr int32_t CodeIndex = 1;
constexpr uint32_t BreakpointSpace = 7;

std::function<void()> g_onPoll;
void DI_CDECL PollThunk() {
    if (g_onPoll) g_onPoll();
}

class GdiFamily : public GdiSessionTest {
protected:
    void SetUp() override {
        GdiSessionTest::SetUp();
        probe.Log().Enable();
        g_onPoll = nullptr;
        cpu = AddCpu();  // DATA (index 0), CODE (index 1), breakpoint space 7
        cpu->SetState(State::Halted);
    }
    void TearDown() override {
        g_onPoll = nullptr;
        GdiSessionTest::TearDown();
    }

    // Opens the instance as the front-end at `path` does, with the standard
    // register map and a memory-space map that names DATA as 0 and CODE as
    // IdCode: what ARM sends to space 0 lands on DATA.
    void OpenFamily(const char* path) {
        DiGdiClose(0);
        OpenSession(path, "CPU", PollThunk);
        GdiMapEntry spaces[] = {Entry("DATA", 0), Entry("CODE", IdCode)};
        ASSERT_EQ(DiGdiInitMemorySpaceMap(2, spaces), GdiOk);
        probe.Log().Clear();
    }

    // Argument `at` of every logged call of a method, in order: 0 is a
    // memory transfer's space index, 1 a breakpoint's address or a register's
    // new value.
    std::vector<uint64_t> Args(const char* method, std::size_t at) {
        std::vector<uint64_t> result;
        for (const auto& args : CallsOf(probe, method)) result.push_back(args.at(at));
        return result;
    }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
    ScopedPollPeriod fastPoll{FastPollMs};
};

// ---- Memory-space selection ------------------------------------------------------------

// Every memory operation asks for the space the address names, through the
// memory-space map; ARM asks for space 0 whatever the request names.
TEST_F(GdiFamily, MemoryOperationsReachTheSpaceTheMapNamesOrSpaceZeroOnArm) {
    const struct {
        const char* path;
        int32_t spaceOfCodeRequests;  // host index reached by a request naming CODE's id
    } families[] = {
        {Qdv51Path, CodeIndex},  {QdvLx8Path, CodeIndex}, {QdvZ80Path, CodeIndex},  {QdvLx32Path, CodeIndex},
        {QdvPpcPath, CodeIndex}, {QdvMbPath, CodeIndex},  {QdvNiosPath, CodeIndex}, {QdvArmPath, DataIndex},
    };
    const uint64_t at = 0x0000000100000040ull;
    const uint8_t block[] = {0xA1, 0xB2};
    const struct {
        const char* name;
        const char* hostMethod;
        std::function<uint32_t()> call;
    } operations[] = {
        {"read", "INexusMemorySpace::ReadBlock",
         [&] {
             GdiValue v[2];
             const uint32_t result = DiMemoryRead(Address(IdCode, at), v, 2);
             return StatusOf(v[0]) == ValueValid ? result : GdiFailed;
         }},
        {"write", "INexusMemorySpace::WriteBlock",
         [&] {
             const GdiValue v = Value({0, 0, 0, 0, 0, 0, 0x12, 0x34});
             return DiMemoryWrite(Address(IdCode, at), &v, 1);
         }},
        {"download start", "INexusMemorySpace::BeginDownload",
         [&] { return MemoryDownload(0, Format(0, IdCode, at), nullptr); }},
        {"download block", "INexusMemorySpace::WriteBlock",
         [&] { return MemoryDownload(1, Format(2, IdCode, at), block); }},
        {"download finish", "INexusMemorySpace::EndDownload",
         [&] { return MemoryDownload(2, Format(0, IdCode, at), nullptr); }},
        {"download stop", "INexusMemorySpace::EndDownload",
         [&] { return MemoryDownload(3, Format(0, IdCode, at), nullptr); }},
    };
    for (const auto& family : families) {
        OpenFamily(family.path);
        for (const auto& op : operations) {
            SCOPED_TRACE(testing::Message() << family.path << ", " << op.name);
            probe.Log().Clear();
            FrontEnd([&] { EXPECT_EQ(op.call(), GdiOk); });
            EXPECT_EQ(Args(op.hostMethod, 0), std::vector<uint64_t>{uint64_t(family.spaceOfCodeRequests)});
        }
        // What was written is in that space and only there.
        EXPECT_EQ(cpu->Word(family.spaceOfCodeRequests, at), 0xA1u) << family.path;
        EXPECT_EQ(cpu->Word(family.spaceOfCodeRequests, at + 1), 0xB2u) << family.path;
        EXPECT_EQ(cpu->Word(DataIndex + CodeIndex - family.spaceOfCodeRequests, at), 0u) << family.path;
        cpu->Space(DataIndex).words.clear();
        cpu->Space(CodeIndex).words.clear();
    }
}

// ---- Breakpoint check after a stop --------------------------------------------------------

// What the continue and the status after it make of one stop.
struct StopOutcome {
    uint32_t result;
    std::vector<uint64_t> probes;        // breakpoint lookups after the wait, in order
    std::optional<uint32_t> pcWritten;   // the PC write after the wait, if any
    uint32_t cause;
    uint32_t statusBreakpointId;
    uint32_t statusIdWhenLookupsFail;  // what the status reports when its breakpoint lookup fails
};

// Off ARM a processor stops one past the breakpoint and the PC goes back
// onto it; on ARM the breakpoint sits one byte on (the Thumb bit), the PC
// stays and is written back once. A breakpoint right at the PC is a
// breakpoint stop everywhere. A lookup that fails decides nothing: the call
// fails and the stop is recorded as a plain stop; in the status after a
// breakpoint stop it leaves the id unknown (0) on ARM, the one family whose
// status looks a breakpoint up.
TEST_F(GdiFamily, StopCheckProbesBeforeThePcOffArmAndAfterItOnArm) {
    const struct {
        const char* name;
        std::set<uint64_t> breakpoints;
        uint32_t stopPc;
        bool lookupFails;
    } stops[] = {
        {"one past a breakpoint", {0x200}, 0x201, false},
        {"one before a breakpoint", {0x201}, 0x200, false},
        {"on a breakpoint", {0x200}, 0x200, false},
        {"one past a breakpoint, lookup fails", {0x200}, 0x201, true},
    };
    const StopOutcome movedBack{GdiOk, {0x200}, 0x200, CauseBreakpoint, 0x200, 0x200};
    const StopOutcome pastNoneBefore{GdiOk, {0x1FF, 0x200}, std::nullopt, CauseStopped, 0, 0};
    const StopOutcome onItOffArm{GdiOk, {0x1FF, 0x200}, std::nullopt, CauseBreakpoint, 0x200, 0x200};
    const StopOutcome failedOffArm{GdiFailed, {0x200}, std::nullopt, CauseStopped, 0, 0};
    const struct {
        const char* path;
        StopOutcome outcomes[4];  // one per stop above
    } families[] = {
        {Qdv51Path, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvLx8Path, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvZ80Path, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvLx32Path, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvPpcPath, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvMbPath, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvNiosPath, {movedBack, pastNoneBefore, onItOffArm, failedOffArm}},
        {QdvArmPath,
         {{GdiOk, {0x202, 0x201}, std::nullopt, CauseStopped, 0, 0},
          {GdiOk, {0x201}, 0x200, CauseBreakpoint, 0x201, 0},
          {GdiOk, {0x201, 0x200}, std::nullopt, CauseBreakpoint, 0x200, 0},
          {GdiFailed, {0x202}, std::nullopt, CauseStopped, 0, 0}}},
    };
    for (const auto& family : families) {
        for (std::size_t s = 0; s < std::size(stops); ++s) {
            const auto& stop = stops[s];
            const StopOutcome& expected = family.outcomes[s];
            SCOPED_TRACE(testing::Message() << family.path << ", " << stop.name);
            cpu->SetState(State::Halted);
            cpu->SetPc(0x100);
            cpu->RemoveAllBreakpoints();
            for (uint64_t a : stop.breakpoints) cpu->AddBreakpoint(BreakpointSpace, a);
            cpu->onContinue = {0, stop.stopPc};
            OpenFamily(family.path);
            // The processor stops before the first poll: the log then starts
            // with what the module does about the stop.
            g_onPoll = [&] {
                probe.Log().Clear();
                if (stop.lookupFails) probe.InjectFault("INexusProcessor::FindBreakpoint", sim::E_FAIL);
            };

            FrontEnd([&] { EXPECT_EQ(DiExecContinue(), expected.result); });
            g_onPoll = nullptr;
            probe.ClearFaults();

            EXPECT_EQ(Args("INexusProcessor::FindBreakpoint", 1), expected.probes);
            const std::vector<uint64_t> noWrite;
            EXPECT_EQ(Args("INexusRegister::WriteValue", 1),
                      expected.pcWritten ? std::vector<uint64_t>{*expected.pcWritten} : noWrite);
            EXPECT_EQ(cpu->Pc(), expected.pcWritten.value_or(stop.stopPc));
            EXPECT_EQ(cpu->Breakpoints(), stop.breakpoints);

            GdiExitStatus status;
            std::memset(&status, 0xAB, sizeof status);
            FrontEnd([&] { EXPECT_EQ(DiExecGetStatus(&status), GdiOk); });
            EXPECT_EQ(LoadLE32(status.cause), expected.cause);
            EXPECT_EQ(LoadLE32(status.breakpointId), expected.statusBreakpointId);
            EXPECT_EQ(MessageOf(status), nullptr);

            std::memset(&status, 0xAB, sizeof status);
            probe.InjectFault("INexusProcessor::FindBreakpoint", sim::E_FAIL);
            FrontEnd([&] { EXPECT_EQ(DiExecGetStatus(&status), GdiOk) << "lookups that fail"; });
            probe.ClearFaults();
            EXPECT_EQ(LoadLE32(status.cause), expected.cause) << "lookups that fail";
            EXPECT_EQ(LoadLE32(status.breakpointId), expected.statusIdWhenLookupsFail) << "lookups that fail";
        }
    }
}

// ---- Breakpoint addresses ------------------------------------------------------------------

// A qualifier-2 request names the instruction; on ARM the breakpoint goes
// one byte on, with the carry into the high half. The request's memory-space
// id plays no part on any family.
TEST_F(GdiFamily, QualifierTwoSetsTheBreakpointOneByteOnOnArmOnly) {
    const struct {
        const char* path;
        uint64_t setAt0x200;         // where a qualifier-2 request at 0x200 lands
        uint64_t setAtTopOfLowHalf;  // and one at 0xFFFFFFFF
    } families[] = {
        {Qdv51Path, 0x200, 0xFFFFFFFF},   {QdvLx8Path, 0x200, 0xFFFFFFFF},  {QdvZ80Path, 0x200, 0xFFFFFFFF},
        {QdvLx32Path, 0x200, 0xFFFFFFFF}, {QdvPpcPath, 0x200, 0xFFFFFFFF},  {QdvMbPath, 0x200, 0xFFFFFFFF},
        {QdvNiosPath, 0x200, 0xFFFFFFFF}, {QdvArmPath, 0x201, 0x100000000ull},
    };
    for (const auto& family : families) {
        SCOPED_TRACE(family.path);
        cpu->RemoveAllBreakpoints();
        OpenFamily(family.path);
        GdiBreakpointResult qualifier2, qualifier2Top, qualifier1;
        FrontEnd([&] {
            EXPECT_EQ(DiBreakpointSet(&qualifier2, Breakpoint(1, 0x200, 2, IdCode)), GdiOk);
            EXPECT_EQ(DiBreakpointSet(&qualifier2Top, Breakpoint(1, 0xFFFFFFFF, 2, IdCode)), GdiOk);
            EXPECT_EQ(DiBreakpointSet(&qualifier1, Breakpoint(1, 0x300, 1, IdCode)), GdiOk);
        });
        EXPECT_EQ(Args("INexusProcessor::AddBreakpoint", 1),
                  (std::vector<uint64_t>{family.setAt0x200, family.setAtTopOfLowHalf, 0x300}));
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{family.setAt0x200, family.setAtTopOfLowHalf, 0x300}));
        // The id is the low 32 bits of where the breakpoint is.
        EXPECT_EQ(LoadLE32(qualifier2.breakpointId), uint32_t(family.setAt0x200));
        EXPECT_EQ(LoadLE32(qualifier2Top.breakpointId), uint32_t(family.setAtTopOfLowHalf));
        EXPECT_EQ(LoadLE32(qualifier1.breakpointId), 0x300u);
    }
}

// A step lifts the breakpoint under the PC and no other, on every family:
// ARM's breakpoint one byte on stays in place.
TEST_F(GdiFamily, SingleStepLiftsOnlyTheBreakpointAtThePc) {
    const struct {
        const char* path;
        uint64_t lifted;
    } families[] = {
        {Qdv51Path, 0x100},   {QdvLx8Path, 0x100}, {QdvZ80Path, 0x100},  {QdvLx32Path, 0x100},
        {QdvPpcPath, 0x100},  {QdvMbPath, 0x100},  {QdvNiosPath, 0x100}, {QdvArmPath, 0x100},
    };
    const std::set<uint64_t> around = {0xFF, 0x100, 0x101};
    for (const auto& family : families) {
        SCOPED_TRACE(family.path);
        cpu->SetState(State::Halted);
        cpu->SetPc(0x100);
        cpu->RemoveAllBreakpoints();
        for (uint64_t a : around) cpu->AddBreakpoint(BreakpointSpace, a);
        OpenFamily(family.path);

        FrontEnd([&] { EXPECT_EQ(DiExecSingleStep(1), GdiOk); });

        EXPECT_EQ(Args("INexusProcessor::RemoveBreakpoint", 1), std::vector<uint64_t>{family.lifted});
        EXPECT_EQ(Args("INexusProcessor::AddBreakpoint", 1), std::vector<uint64_t>{family.lifted});
        EXPECT_EQ(cpu->Breakpoints(), around);
        EXPECT_EQ(cpu->Pc(), 0x104u);
    }
}

// ---- Features ------------------------------------------------------------------------------

TEST_F(GdiFamily, FeaturesWordsAt48And52AreSetOnArmOnly) {
    const struct {
        const char* path;
        uint32_t word48, word52;
    } families[] = {
        {Qdv51Path, 0, 0},   {QdvLx8Path, 0, 0}, {QdvZ80Path, 0, 0},  {QdvLx32Path, 0, 0},
        {QdvPpcPath, 0, 0},  {QdvMbPath, 0, 0},  {QdvNiosPath, 0, 0}, {QdvArmPath, 128, 1024},
    };
    for (const auto& family : families) {
        SCOPED_TRACE(family.path);
        OpenFamily(family.path);
        uint8_t features[GdiFeaturesSize];
        std::memset(features, 0xCD, sizeof features);
        ASSERT_EQ(DiGdiGetFeatures(features), GdiOk);
        EXPECT_EQ(LoadLE32(features + FeaturesOffset(48)), family.word48);
        EXPECT_EQ(LoadLE32(features + FeaturesOffset(52)), family.word52);
        // The words around them are the same on every family.
        EXPECT_EQ(LoadLE32(features + FeaturesOffset(44)), 7u);
        EXPECT_EQ(LoadLE32(features + FeaturesOffset(56)), 0u);
    }
}

}  // namespace
