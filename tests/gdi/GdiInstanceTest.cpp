// The GDI instance's lifecycle, its maps and simple answers, and the rules of
// the current instance at the exported boundary.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gdi/GDI.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;

namespace {

std::shared_ptr<sim::ScriptedProcessor> CpuWithPc(uint32_t pc) {
    auto cpu = std::make_shared<sim::ScriptedProcessor>();
    cpu->SetPc(pc);
    return cpu;
}

// Reads a register through the exports; the word, or the status when the
// value could not be read.
struct RegisterReading {
    uint32_t status;
    uint32_t word;
};
RegisterReading ReadRegister(int32_t id) {
    GdiValue value = Filled(0xA5);
    EXPECT_EQ(DiRegisterRead(id, &value), GdiOk);
    return {StatusOf(value), GatherWord(value)};
}

// ---- Open ----------------------------------------------------------------------

using GdiInstanceTest = SimTest;

TEST_F(GdiInstanceTest, OpenTakesFamilyFromTheFirstEntryAndDesignatorFromTheLast) {
    probe.Log().Enable();
    // Each designator has its own processor, known by its PC.
    host.AddProcessor("ARM_1", CpuWithPc(0x1000));
    host.AddProcessor("qdvz80", CpuWithPc(0x2000));
    host.AddProcessor("A", CpuWithPc(0x3000));
    host.AddProcessor("", CpuWithPc(0x4000));

    const struct {
        const char* name;
        std::vector<const char*> entries;  // the vector holds exactly these
        int32_t argc;
        bool nullVector;
        CpuFamily family;
        uint32_t pcOfDesignator;
    } cases[] = {
        {"path, option, designator", {"C:\\Tools\\qdvarm.exe", "-p", "ARM_1"}, 3, false, FamilyArm, 0x1000},
        {"one entry is path and designator", {"qdvz80"}, 1, false, FamilyZ80, 0x2000},
        {"count below the vector's length", {"C:\\qdvppc.exe", "A", "ARM_1"}, 2, false, FamilyPpc, 0x3000},
        {"null entries", {nullptr, "x", nullptr}, 3, false, FamilyLx32, 0x4000},
        {"count 0", {}, 0, false, FamilyLx32, 0x4000},
        {"negative count", {}, -1, false, FamilyLx32, 0x4000},
        {"null vector", {}, 3, true, FamilyLx32, 0x4000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Exactly as many entries as listed, so that a read beyond them is
        // caught by the sanitizer build.
        std::unique_ptr<const char*[]> argv(new const char*[c.entries.size()]);
        std::copy(c.entries.begin(), c.entries.end(), argv.get());

        TGDI gdi;
        EXPECT_EQ(gdi.LastExitCause(), 0u);
        EXPECT_EQ(gdi.Open(c.argc, c.nullVector ? nullptr : argv.get(), nullptr), GdiOk);
        EXPECT_EQ(gdi.Family(), c.family);
        EXPECT_EQ(gdi.LastExitCause(), uint32_t(CauseStopped));
        EXPECT_FALSE(gdi.CancelRequested());
        EXPECT_TRUE(probe.Log().Calls().empty()) << "opening reaches no target";

        GdiValue pc = Filled(0xA5);
        FrontEnd([&] { EXPECT_EQ(gdi.RegisterRead(-1, &pc), GdiOk); });
        EXPECT_EQ(StatusOf(pc), 0u);
        EXPECT_EQ(GatherWord(pc), c.pcOfDesignator);
        probe.Log().Clear();
    }
}

TEST_F(GdiInstanceTest, PollPeriodIsReadFromTheEnvironmentWhenTheInstanceOpens) {
    const struct {
        const char* value;  // null: not set
        uint32_t period;
    } cases[] = {
        {nullptr, 500}, {"", 500},   {"1", 1},       {"10", 10},   {"500", 500}, {"499", 499},
        {"010", 10},    {"0", 500},  {"501", 500},   {"1000", 500}, {"-5", 500}, {"+10", 500},
        {" 10", 500},   {"10 ", 500}, {"10ms", 500}, {"ten", 500}, {"1e2", 500},
        {"4294967306", 500},  // 2^32 + 10
        {"99999999999999999999999", 500},
    };
    const char* argv[] = {Lx32Path, "CPU"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? testing::Message() << '"' << c.value << '"' : testing::Message() << "unset");
        TGDI gdi;
        {
            ScopedPollPeriod period(c.value);
            ASSERT_EQ(gdi.Open(2, argv, nullptr), GdiOk);
        }
        EXPECT_EQ(gdi.PollPeriod(), c.period);
    }

    // An open instance keeps the period it was opened with.
    ScopedPollPeriod period("20");
    TGDI gdi;
    ASSERT_EQ(gdi.Open(2, argv, nullptr), GdiOk);
    platform::SetEnvironmentValue(PollPeriodVariable, "30");
    EXPECT_EQ(gdi.PollPeriod(), 20u);
}

TEST_F(GdiInstanceTest, AdaptiveWaitIsOptedIntoWithOneOnly) {
    const struct {
        const char* value;  // null: not set
        bool adaptive;
    } cases[] = {
        {nullptr, false}, {"1", true}, {"", false}, {"0", false}, {"01", false}, {"1 ", false}, {"yes", false},
        {"true", false},  {"2", false},
    };
    const char* argv[] = {Lx32Path, "CPU"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? testing::Message() << '"' << c.value << '"' : testing::Message() << "unset");
        const auto saved = platform::EnvironmentValue(AdaptivePollVariable);
        platform::SetEnvironmentValue(AdaptivePollVariable, c.value);
        TGDI gdi;
        ASSERT_EQ(gdi.Open(2, argv, nullptr), GdiOk);
        // Read at the open, not later.
        platform::SetEnvironmentValue(AdaptivePollVariable, c.adaptive ? nullptr : "1");
        EXPECT_EQ(gdi.AdaptivePoll(), c.adaptive);
        platform::SetEnvironmentValue(AdaptivePollVariable, saved ? saved->c_str() : nullptr);
    }
}

TEST_F(GdiInstanceTest, MapListsKeepOrderDuplicatesAndEmptyNames) {
    TGDI gdi;
    const char* argv[] = {Lx32Path, "CPU"};
    gdi.Open(2, argv, nullptr);
    GdiMapEntry entries[] = {Entry("r0", 10), Entry(nullptr, 11), Entry("R0", 10)};
    ASSERT_EQ(gdi.InitRegisterMap(3, entries, 20), GdiOk);

    const host::TStringList& list = gdi.Access()->Registers();
    ASSERT_EQ(list.Count(), 3u);
    const struct {
        const char* name;
        int32_t id;
    } expected[] = {{"r0", 10}, {"", 11}, {"R0", 10}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list[i].Name, expected[i].name);
        EXPECT_EQ(list[i].Value, expected[i].id);
    }
    EXPECT_EQ(gdi.Access()->MemorySpaces().Count(), 0u) << "the maps are separate";
}

// ---- Maps through the exports ------------------------------------------------------

class GdiMapTest : public GdiSessionTest {
protected:
    void SetUp() override {
        GdiSessionTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        cpu = AddCpu();
        cpu->SetPc(0x1234);
        const char* argv[] = {Lx32Path, "CPU"};
        ASSERT_EQ(DiGdiOpen(0, 0, 2, argv, nullptr), GdiOk);
    }
    std::shared_ptr<sim::ScriptedProcessor> cpu;
};

TEST_F(GdiMapTest, RegisterMapMarksEachEntryAcceptedAndNothingAround) {
    // Four entries in storage, three passed.
    GdiMapEntry entries[] = {Entry("r0", 10), Entry("SP", 12), Entry("R1", 11), Entry("R0", 13)};
    ASSERT_EQ(DiGdiInitRegisterMap(3, entries, 20), GdiOk);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].accepted, 1);
        EXPECT_EQ(entries[i].notTouched[0], 0xEE);
        EXPECT_EQ(entries[i].notTouched[1], 0xEE);
        EXPECT_EQ(entries[i].notTouched[2], 0xEE);
    }
    EXPECT_EQ(entries[3].accepted, 0xEE) << "an entry beyond the count is not touched";

    FrontEnd([&] {
        const struct {
            int32_t id;
            uint32_t status;
            uint32_t word;
        } reads[] = {
            {10, 0, 0x11},    // "r0" finds R0 whatever the case of a to z
            {11, 0, 0x22},    //
            {12, 0, 0x2000},  //
            {20, 0, 0x1234},  // the program-counter id
            {-1, 0, 0x1234},  //
            {13, 3, 0},       // beyond the count
        };
        for (const auto& r : reads) {
            SCOPED_TRACE(r.id);
            const RegisterReading got = ReadRegister(r.id);
            EXPECT_EQ(got.status, r.status);
            EXPECT_EQ(got.word, r.word);
        }
    });
}

TEST_F(GdiMapTest, EachRegisterMapReplacesTheWholeMap) {
    GdiMapEntry first[] = {Entry("R0", 10), Entry("SP", 12)};
    ASSERT_EQ(DiGdiInitRegisterMap(2, first, 20), GdiOk);
    GdiMapEntry second[] = {Entry("R1", 10)};
    ASSERT_EQ(DiGdiInitRegisterMap(1, second, 21), GdiOk);
    FrontEnd([&] {
        EXPECT_EQ(ReadRegister(10).word, 0x22u) << "id 10 now names R1";
        EXPECT_EQ(ReadRegister(12).status, 3u) << "SP came with the first map only";
        EXPECT_EQ(ReadRegister(21).word, 0x1234u);
    });

    // A null array with entries to read is refused and changes nothing.
    EXPECT_EQ(DiGdiInitRegisterMap(2, nullptr, 12), GdiFailed);
    FrontEnd([&] {
        EXPECT_EQ(ReadRegister(10).word, 0x22u);
        EXPECT_EQ(ReadRegister(21).word, 0x1234u);
    });

    // No entries: the map is emptied and the program-counter id still set.
    GdiMapEntry untouched[] = {Entry("R0", 11)};
    ASSERT_EQ(DiGdiInitRegisterMap(-1, untouched, 11), GdiOk);
    EXPECT_EQ(untouched[0].accepted, 0xEE);
    FrontEnd([&] {
        EXPECT_EQ(ReadRegister(11).word, 0x1234u) << "11 is the program counter now";
        EXPECT_EQ(ReadRegister(10).status, 3u);
    });
    ASSERT_EQ(DiGdiInitRegisterMap(0, nullptr, 12), GdiOk);
    FrontEnd([&] { EXPECT_EQ(ReadRegister(12).word, 0x1234u); });
}

TEST_F(GdiMapTest, MemorySpaceMapSelectsTheSpaceByNameAndIsReplacedWhole) {
    cpu->SetWord(0, 0x40, 0xDA7A);  // DATA
    cpu->SetWord(1, 0x40, 0xC0DE);  // CODE
    const auto readSpace3 = [] {
        GdiValue value = Filled(0);
        EXPECT_EQ(DiMemoryRead(Address(3, 0x40), &value, 1), GdiOk);
        return StatusOf(value) == 0 ? GatherWord(value) : 0xBAD;
    };

    GdiMapEntry first[] = {Entry("code", 3), Entry("DATA", 4)};
    ASSERT_EQ(DiGdiInitMemorySpaceMap(2, first), GdiOk);
    EXPECT_EQ(first[0].accepted, 1);
    EXPECT_EQ(first[1].accepted, 1);
    EXPECT_EQ(first[1].notTouched[2], 0xEE);
    FrontEnd([&] { EXPECT_EQ(readSpace3(), 0xC0DEu); });

    GdiMapEntry second[] = {Entry("DATA", 3)};
    ASSERT_EQ(DiGdiInitMemorySpaceMap(1, second), GdiOk);
    FrontEnd([&] { EXPECT_EQ(readSpace3(), 0xDA7Au); });

    EXPECT_EQ(DiGdiInitMemorySpaceMap(1, nullptr), GdiFailed);
    FrontEnd([&] { EXPECT_EQ(readSpace3(), 0xDA7Au) << "a refused map changes nothing"; });

    ASSERT_EQ(DiGdiInitMemorySpaceMap(0, nullptr), GdiOk);
    FrontEnd([&] { EXPECT_EQ(readSpace3(), 0xBADu); });
}

// ---- Simple answers ------------------------------------------------------------------

TEST_F(GdiMapTest, OutValueAnswersStoreTheirValueOrRefuseANullPointer) {
    const struct {
        const char* name;
        uint32_t (*call)(uint32_t*);
        uint32_t stored;
    } cases[] = {
        {"DiGdiVersion", [](uint32_t* p) { return DiGdiVersion(p); }, 294},
        {"DiGdiInitIO", [](uint32_t* p) { return DiGdiInitIO(p); }, 0},
        {"DiErrorGetMessage", [](uint32_t* p) { return DiErrorGetMessage(p); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t out = 0xDEADBEEF;
        EXPECT_EQ(c.call(&out), GdiOk);
        EXPECT_EQ(out, c.stored);
        EXPECT_EQ(c.call(nullptr), GdiFailed);
    }
    EXPECT_EQ(DiGdiSetConfig(0xFFFFFFFF), GdiOk);
    EXPECT_EQ(DiGdiGetFeatures(nullptr), GdiFailed);
    EXPECT_TRUE(probe.Log().Calls().empty()) << "none of them reaches the target";
}

// ---- The current instance ----------------------------------------------------------

// Every forwarding function except DiGdiOpen, each pointing whatever it may
// read or write into the scratch storage.
struct ForwardingCall {
    const char* name;
    std::function<uint32_t(uint8_t*)> call;
};

const std::vector<ForwardingCall>& ForwardingCalls() {
    static const std::vector<ForwardingCall> calls = {
        {"DiGdiClose", [](uint8_t*) { return DiGdiClose(0); }},
        {"DiGdiGetFeatures", [](uint8_t* s) { return DiGdiGetFeatures(s); }},
        {"DiGdiSetConfig", [](uint8_t*) { return DiGdiSetConfig(1); }},
        {"DiGdiInitIO", [](uint8_t* s) { return DiGdiInitIO(reinterpret_cast<uint32_t*>(s)); }},
        {"DiGdiInitRegisterMap",
         [](uint8_t* s) { return DiGdiInitRegisterMap(2, reinterpret_cast<GdiMapEntry*>(s), 20); }},
        {"DiGdiInitMemorySpaceMap",
         [](uint8_t* s) { return DiGdiInitMemorySpaceMap(2, reinterpret_cast<GdiMapEntry*>(s)); }},
        {"DiGdiCancel", [](uint8_t*) { return DiGdiCancel(); }},
        {"DiErrorGetMessage", [](uint8_t* s) { return DiErrorGetMessage(reinterpret_cast<uint32_t*>(s)); }},
        {"DiGdiVersion", [](uint8_t* s) { return DiGdiVersion(reinterpret_cast<uint32_t*>(s)); }},
        {"DiMemoryDownload", [](uint8_t* s) { return MemoryDownload(1, Format(4, IdCode, 0x100), s); }},
        {"DiMemoryWrite",
         [](uint8_t* s) { return DiMemoryWrite(Address(IdData, 0), reinterpret_cast<GdiValue*>(s), 2); }},
        {"DiMemoryRead", [](uint8_t* s) { return DiMemoryRead(Address(IdData, 0), reinterpret_cast<GdiValue*>(s), 2); }},
        {"DiRegisterWrite", [](uint8_t*) { return DiRegisterWrite(IdR0, Value({0, 0, 0, 0, 1, 2, 3, 4})); }},
        {"DiRegisterRead", [](uint8_t* s) { return DiRegisterRead(IdR0, reinterpret_cast<GdiValue*>(s)); }},
        {"DiBreakpointSet",
         [](uint8_t* s) { return DiBreakpointSet(reinterpret_cast<GdiBreakpointResult*>(s), Breakpoint(1, 0x100)); }},
        {"DiBreakpointClear", [](uint8_t*) { return DiBreakpointClear(0x100); }},
        {"DiBreakpointClearAll", [](uint8_t*) { return DiBreakpointClearAll(); }},
        {"DiExecResetChild", [](uint8_t*) { return DiExecResetChild(); }},
        {"DiExecSingleStep", [](uint8_t*) { return DiExecSingleStep(1); }},
        {"DiExecContinue", [](uint8_t*) { return DiExecContinue(); }},
        {"DiExecGetStatus", [](uint8_t* s) { return DiExecGetStatus(reinterpret_cast<GdiExitStatus*>(s)); }},
        {"DiExecStop", [](uint8_t*) { return DiExecStop(); }},
    };
    return calls;
}

using GdiBoundaryTest = GdiSessionTest;

TEST_F(GdiBoundaryTest, WithoutAnInstanceEveryForwardingFunctionFailsAndTouchesNothing) {
    probe.Log().Enable();
    AddCpu();
    const auto checkAll = [&](const char* when) {
        SCOPED_TRACE(when);
        FrontEnd([&] {
            for (const auto& c : ForwardingCalls()) {
                SCOPED_TRACE(c.name);
                alignas(8) uint8_t scratch[512];
                std::memset(scratch, 0xCD, sizeof scratch);
                EXPECT_EQ(c.call(scratch), GdiFailed);
                for (std::size_t i = 0; i < sizeof scratch; ++i)
                    if (scratch[i] != 0xCD) {
                        ADD_FAILURE() << "byte " << i << " was written";
                        break;
                    }
            }
        });
        EXPECT_TRUE(probe.Log().Calls().empty()) << "the target was reached";
    };
    checkAll("before the first open");
    OpenSession();
    ASSERT_EQ(DiGdiClose(0), GdiOk);
    checkAll("after the close");
}

TEST_F(GdiBoundaryTest, FixedAnswersDoNotDependOnAnInstance) {
    probe.Log().Enable();
    const struct {
        const char* name;
        uint32_t (*call)();
        uint32_t result;
    } cases[] = {
        {"DiGdiAddCallback", DiGdiAddCallback, GdiNotSupported},
        {"DiGdiSynchronize", DiGdiSynchronize, GdiNotSupported},
        {"DiDirectAddMenuItem", DiDirectAddMenuItem, GdiNotSupported},
        {"DiDirectCommand", DiDirectCommand, GdiNotSupported},
        {"DiDirectReadNoWait", DiDirectReadNoWait, GdiNotSupported},
        {"DiMemorySetMap", DiMemorySetMap, GdiOk},
        {"DiMemoryGetMap", DiMemoryGetMap, GdiOk},
        {"DiMemorySetCpuMap", DiMemorySetCpuMap, GdiOk},
        {"DiMemoryGetCpuMap", DiMemoryGetCpuMap, GdiNotSupported},
        {"DiRegisterClassCreate", DiRegisterClassCreate, GdiNotSupported},
        {"DiRegisterClassDelete", DiRegisterClassDelete, GdiNotSupported},
        {"DiRegisterClassWrite", DiRegisterClassWrite, GdiNotSupported},
        {"DiRegisterClassRead", DiRegisterClassRead, GdiNotSupported},
        {"DiExecContinueUntil", DiExecContinueUntil, GdiNotSupported},
        {"DiExecContinueBackground", DiExecContinueBackground, GdiNotSupported},
        {"DiCommGetAcceptableSettings", DiCommGetAcceptableSettings, GdiNotSupported},
        {"DiTraceSwitchOn", DiTraceSwitchOn, GdiNotSupported},
        {"DiTraceGetInstructions", DiTraceGetInstructions, GdiNotSupported},
        {"DiTracePrintRawInfo", DiTracePrintRawInfo, GdiNotSupported},
        {"DiTraceGetNrOfNewFrames", DiTraceGetNrOfNewFrames, GdiNotSupported},
        {"DiCoverageSwitchOn", DiCoverageSwitchOn, GdiNotSupported},
        {"DiCoverageGetInfo", DiCoverageGetInfo, GdiNotSupported},
        {"DiProfilingSwitchOn", DiProfilingSwitchOn, GdiNotSupported},
        {"DiProfileGetInfo", DiProfileGetInfo, GdiNotSupported},
        {"DiStateOpen", DiStateOpen, GdiNotSupported},
        {"DiStateSave", DiStateSave, GdiNotSupported},
        {"DiStateRestore", DiStateRestore, GdiNotSupported},
        {"DiStateClose", DiStateClose, GdiNotSupported},
        {"DiMeeEnumExecEnv", DiMeeEnumExecEnv, GdiNotSupported},
        {"DiMeeConnect", DiMeeConnect, GdiNotSupported},
        {"DiMeeGetFeatures", DiMeeGetFeatures, GdiNotSupported},
        {"DiMeeInitIO", DiMeeInitIO, GdiNotSupported},
        {"DiMeeSelect", DiMeeSelect, GdiNotSupported},
        {"DiMeeDisconnect", DiMeeDisconnect, GdiNotSupported},
        {"DiCpuSelect", DiCpuSelect, GdiNotSupported},
        {"DiCpuCurrent", DiCpuCurrent, GdiNotSupported},
        {"DiProcess", DiProcess, GdiNotSupported},
    };
    for (const bool open : {false, true}) {
        if (open) OpenSession();
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << (open ? " with" : " without") << " an instance");
            EXPECT_EQ(c.call(), c.result);
        }
    }
    EXPECT_TRUE(probe.Log().Calls().empty());
}

TEST_F(GdiBoundaryTest, ASecondOpenReplacesTheCurrentInstanceAndOneCloseEndsIt) {
    host.AddProcessor("FIRST", CpuWithPc(0x1111));
    host.AddProcessor("SECOND", CpuWithPc(0x2222));
    const char* first[] = {ArmPath, "FIRST"};
    const char* second[] = {Lx32Path, "SECOND"};
    ASSERT_EQ(DiGdiOpen(0, 0, 2, first, nullptr), GdiOk);
    ASSERT_EQ(DiGdiOpen(0xFFFFFFFF, 0xFFFFFFFF, 2, second, nullptr), GdiOk);

    std::vector<uint8_t> features(GdiFeaturesSize);
    ASSERT_EQ(DiGdiGetFeatures(features.data()), GdiOk);
    EXPECT_EQ(LoadLE32(features.data() + FeaturesOffset(48)), 0u) << "the second instance's family";
    FrontEnd([&] { EXPECT_EQ(ReadRegister(-1).word, 0x2222u) << "the second instance's processor"; });

    EXPECT_EQ(DiGdiClose(0), GdiOk);
    EXPECT_EQ(DiGdiClose(0), GdiFailed) << "the first instance is no longer reachable";
    EXPECT_EQ(DiGdiGetFeatures(features.data()), GdiFailed);
}

}  // namespace
