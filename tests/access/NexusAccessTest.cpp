// TGDI_NexusAccess driven from a front-end thread, with the real hand-over to
// the simulated host's main thread.
#include <gtest/gtest.h>

#include <vector>

#include "access/GDI_SynchronizedNexusAccess.h"
#include "access/RT_ThreadSync.h"
#include "host/ClientProcs.h"
#include "tests/support/SimFixture.h"

namespace {

using targetaccess::TGDI_NexusAccess;
using State = sim::ScriptedProcessor::State;

constexpr uint64_t Above4G = 0x100000000ull;

// Processor "CPU" with the maps a front-end would give: R0=0, R1=1, SP=13,
// DATA=1 (limit 16), CODE=2 (limit 1024).
class NexusAccessTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        cpu = AddCpu("CPU");
        AddFrontEndMaps(access.Registers(), access.MemorySpaces());
        pendingBefore = targetaccess::g_PendingCalls->Count();
    }
    void TearDown() override {
        EXPECT_EQ(targetaccess::g_PendingCalls->Count(), pendingBefore) << "a call object was left pending";
        SimTest::TearDown();
    }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
    TGDI_NexusAccess access{"CPU"};
    std::size_t pendingBefore = 0;
};

TEST_F(NexusAccessTest, MemoryWrittenAndReadBack) {
    std::vector<uint32_t> out(40), in(40, 0xDEADBEEF);
    for (uint32_t i = 0; i < out.size(); ++i) out[i] = 0x5000 + i;
    bool wrote = false, readData = false, readCode = false;
    uint32_t dataTransferred = 0, codeTransferred = 0;
    std::vector<uint32_t> code(40);
    cpu->SetWord(1, 0x20, 0xC0DE);
    FrontEnd([&] {
        wrote = access.WriteMemory(1, out.data(), 0x1000, 40);
        readData = access.ReadMemory(1, in.data(), 0x1000, 40, dataTransferred);
        readCode = access.ReadMemory(2, code.data(), 0x20, 40, codeTransferred);
    });
    EXPECT_TRUE(wrote);
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(cpu->Word(0, 0x1000 + i), 0x5000 + i) << "word " << i;
    EXPECT_EQ(probe.Log().Count("INexusMemorySpace::WriteBlock"), 3u) << "40 words in blocks of 16";

    EXPECT_TRUE(readData);
    EXPECT_EQ(dataTransferred, 16u);
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(in[i], i < 16 ? 0x5000 + i : 0xDEADBEEF) << "word " << i;
    EXPECT_TRUE(readCode);
    EXPECT_EQ(codeTransferred, 40u);
    EXPECT_EQ(code[0], 0xC0DEu);
}

TEST_F(NexusAccessTest, RegistersIncludingTheProgramCounter) {
    cpu->SetPc(0x400);
    uint32_t r0 = 0, pc = 0, pcById = 0;
    bool read = false, wrote = false, readPc = false, readPcById = false;
    FrontEnd([&] {
        read = access.ReadRegister(0, r0);
        wrote = access.WriteRegister(1, 0x99);
        readPc = access.ReadRegister(-1, pc);
        access.Registers().Add("SP", 5);
        access.SetPcRegister(5);
        readPcById = access.ReadRegister(5, pcById);
    });
    EXPECT_TRUE(read);
    EXPECT_EQ(r0, 0x11u);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(cpu->ReadRegister(2), 0x99u);
    EXPECT_TRUE(readPc);
    EXPECT_EQ(pc, 0x400u);
    EXPECT_TRUE(readPcById);
    EXPECT_EQ(pcById, 0x400u) << "the declared program-counter id wins over the map";
}

TEST_F(NexusAccessTest, Breakpoints) {
    int32_t high = 0, low = 0, found = 0;
    bool setHigh = false, setLow = false, findHigh = false, clearByLowHalf = true, clearLow = false, clearAll = false;
    FrontEnd([&] {
        setHigh = access.SetBreakpoint(high, Above4G + 16);
        findHigh = access.FindBreakpointAt(found, Above4G + 16);
        clearByLowHalf = access.ClearBreakpoint(high);
        setLow = access.SetBreakpoint(low, 0x200);
        clearLow = access.ClearBreakpoint(low);
        access.SetBreakpoint(low, 0x300);
        clearAll = access.ClearAllBreakpoints();
    });
    EXPECT_TRUE(setHigh);
    EXPECT_EQ(high, 16);
    EXPECT_TRUE(findHigh);
    EXPECT_EQ(found, 16);
    EXPECT_FALSE(clearByLowHalf) << "id 16 means address 16";
    EXPECT_TRUE(setLow);
    EXPECT_TRUE(clearLow);
    EXPECT_TRUE(clearAll);
    EXPECT_TRUE(cpu->Breakpoints().empty());
    EXPECT_EQ(access.GetBreakpointAddress(high), 16u);
    EXPECT_EQ(access.TranslateAddress(Above4G + 16), 16);
}

// A breakpoint lookup tells "there is none" from "the lookup failed".
TEST_F(NexusAccessTest, BreakpointLookupTellsNoneFromFailure) {
    using Lookup = TGDI_NexusAccess::Lookup;
    cpu->AddBreakpoint(7, 0x200);
    const struct {
        const char* name;
        uint64_t address;
        const char* fault;
        Lookup result;
    } cases[] = {
        {"found", 0x200, nullptr, Lookup::Found},
        {"none there", 0x204, nullptr, Lookup::NotFound},
        {"the lookup fails", 0x204, "INexusProcessor::FindBreakpoint", Lookup::Failed},
        {"the breakpoint's address cannot be read", 0x200, "INexusBreakpoint::GetAddress", Lookup::Failed},
        {"no processor answers", 0x200, "INexusWorkspace::FindByDesignator", Lookup::Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault) probe.InjectFault(c.fault, static_cast<int32_t>(0x80004005u));
        int32_t id = -5;
        Lookup result = Lookup::Found;
        FrontEnd([&] { result = access.LookUpBreakpointAt(id, c.address); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(id, c.result == Lookup::Found ? 0x200 : 0);
        probe.ClearFaults();
    }
    // A lookup that could not be handed over at all failed too.
    const auto saved = host::g_HostClientApi.ClientAPI_Synchronize;
    host::g_HostClientApi.ClientAPI_Synchronize = nullptr;
    int32_t id = 0;
    EXPECT_EQ(access.LookUpBreakpointAt(id, 0x200), Lookup::Failed);
    host::g_HostClientApi.ClientAPI_Synchronize = saved;
}

TEST_F(NexusAccessTest, RunControlAndState) {
    cpu->SetPc(0x100);
    cpu->SetState(State::Halted);
    std::vector<uint8_t> states;
    std::vector<bool> results;
    bool finished = false;
    FrontEnd([&] {
        auto state = [&] {
            uint8_t s = 0xEE;
            results.push_back(access.GetProcessorState(s));
            states.push_back(s);
        };
        results.push_back(access.ResetProcessor());
        state();
        results.push_back(access.ContinueProcessor());
        state();
        results.push_back(access.PauseProcessor());
        state();
        results.push_back(access.SingleStep(2, finished));
    });
    EXPECT_EQ(results, std::vector<bool>(7, true));
    EXPECT_EQ(states, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(finished);
    EXPECT_EQ(cpu->Pc(), 8u) << "two steps of 4 from the reset PC 0";
    EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::StepProcessor"), (std::vector<uint64_t>{2}));
}

TEST_F(NexusAccessTest, DownloadSteps) {
    uint32_t block[20];
    for (uint32_t i = 0; i < 20; ++i) block[i] = 0xD000 + i;
    struct Answers {
        bool begin, end;
    };
    for (const Answers answers : {Answers{true, true}, Answers{false, false}}) {
        SCOPED_TRACE(testing::Message() << "host answers " << answers.begin);
        cpu->Space(1).beginDownloadAnswer = answers.begin;
        cpu->Space(1).endDownloadAnswer = answers.end;
        probe.Log().Clear();
        std::vector<bool> results;
        FrontEnd([&] {
            results.push_back(access.StartDownload(2));
            results.push_back(access.DownloadBlock(2, block, 0x40, 20));
            results.push_back(access.StopDownload(2));
            results.push_back(access.FinishDownload(2));
        });
        EXPECT_EQ(results, (std::vector<bool>{answers.begin, true, answers.end, answers.end}));
        EXPECT_EQ(probe.Log().Count("INexusMemorySpace::BeginDownload"), 1u);
        EXPECT_EQ(probe.Log().Count("INexusMemorySpace::EndDownload"), 2u);
        EXPECT_EQ(cpu->Word(1, 0x40 + 19), 0xD000u + 19);
    }
}

TEST_F(NexusAccessTest, FailedOperationsDeliverTheConstructorValues) {
    TGDI_NexusAccess missing("NOPE");
    missing.Registers().Add("R0", 0);
    missing.MemorySpaces().Add("DATA", 1);
    uint32_t value = 0x1234, transferred = 77, buffer[4] = {};
    int32_t setId = 55, foundId = 99;
    uint8_t state = 9;
    bool finished = true;
    std::vector<bool> results;
    FrontEnd([&] {
        results.push_back(missing.ReadRegister(0, value));
        results.push_back(missing.SetBreakpoint(setId, 0x40));
        results.push_back(missing.FindBreakpointAt(foundId, 0x40));
        results.push_back(missing.GetProcessorState(state));
        results.push_back(missing.SingleStep(1, finished));
        results.push_back(missing.ReadMemory(1, buffer, 0, 4, transferred));
    });
    EXPECT_EQ(results, std::vector<bool>(6, false));
    EXPECT_EQ(value, 0x1234u) << "a failed read leaves the caller's value";
    EXPECT_EQ(setId, 55);
    EXPECT_EQ(foundId, 0) << "a failed find reports id 0";
    EXPECT_EQ(state, 0);
    EXPECT_FALSE(finished);
    EXPECT_EQ(transferred, 0u);
}

TEST_F(NexusAccessTest, HostErrorsArriveAsFalse) {
    uint32_t buffer[20] = {};
    uint32_t transferred = 0;
    bool reset = true, read = true;
    probe.InjectFault("INexusProcessor::Reset", static_cast<int32_t>(0x80004005u));
    probe.InjectFault("INexusMemorySpace::ReadBlock", static_cast<int32_t>(0x80004005u));
    FrontEnd([&] {
        reset = access.ResetProcessor();
        read = access.ReadMemory(1, buffer, 0, 20, transferred);
    });
    EXPECT_FALSE(reset);
    EXPECT_FALSE(read);
    EXPECT_EQ(transferred, 16u) << "the bound was reported before the read failed";
    EXPECT_EQ(probe.lastExecuteStatus(), host::E_UNEXPECTED);
}

TEST_F(NexusAccessTest, MapsAreTheWrappersOwnLists) {
    uint32_t value = 0, transferred = 0, buffer[4] = {};
    bool beforeAdd = true, afterAdd = false, afterClear = true, memoryAfterClear = true;
    FrontEnd([&] {
        beforeAdd = access.ReadRegister(7, value);
        access.Registers().Add("sp", 7);
        afterAdd = access.ReadRegister(7, value);
        access.Registers().Clear();
        afterClear = access.ReadRegister(0, value);
        access.MemorySpaces().Clear();
        memoryAfterClear = access.ReadMemory(1, buffer, 0, 4, transferred);
    });
    EXPECT_FALSE(beforeAdd);
    EXPECT_TRUE(afterAdd);
    EXPECT_EQ(value, 0x2000u);
    EXPECT_FALSE(afterClear);
    EXPECT_FALSE(memoryAfterClear);
}

// The host executable does not export ClientAPI_Synchronize.
class NoSynchronizeTest : public NexusAccessTest {
protected:
    void SetUp() override {
        NexusAccessTest::SetUp();
        saved = host::g_HostClientApi.ClientAPI_Synchronize;
        host::g_HostClientApi.ClientAPI_Synchronize = nullptr;
    }
    void TearDown() override {
        host::g_HostClientApi.ClientAPI_Synchronize = saved;
        NexusAccessTest::TearDown();
    }
    host::SynchronizeProc saved = nullptr;
};

TEST_F(NoSynchronizeTest, MarshalledMethodsFailWithConstructorValues) {
    uint32_t buffer[4] = {1, 2, 3, 4};
    uint32_t value = 0x1234, transferred = 77;
    int32_t setId = 55, foundId = 99;
    uint8_t state = 9;
    bool finished = true;
    const std::vector<bool> results = {
        access.ReadRegister(0, value),
        access.WriteRegister(0, 1),
        access.ReadMemory(1, buffer, 0, 4, transferred),
        access.WriteMemory(1, buffer, 0, 4),
        access.SetBreakpoint(setId, 0x40),
        access.FindBreakpointAt(foundId, 0x40),
        access.ClearBreakpoint(0x40),
        access.ClearAllBreakpoints(),
        access.GetProcessorState(state),
        access.ResetProcessor(),
        access.PauseProcessor(),
        access.ContinueProcessor(),
        access.SingleStep(1, finished),
        access.StartDownload(1),
        access.DownloadBlock(1, buffer, 0, 4),
        access.StopDownload(1),
        access.FinishDownload(1),
    };
    EXPECT_EQ(results, std::vector<bool>(results.size(), false));
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(setId, 55);
    EXPECT_EQ(foundId, 0);
    EXPECT_EQ(state, 0);
    EXPECT_FALSE(finished);
    EXPECT_EQ(probe.executeCount(), 0);
    EXPECT_TRUE(probe.Log().Calls().empty());
    EXPECT_EQ(cpu->ReadRegister(1), 0x11u);
}

TEST_F(NoSynchronizeTest, DirectMethodsStillWork) {
    EXPECT_EQ(access.TranslateAddress(Above4G + 16), 16);
    EXPECT_EQ(access.GetBreakpointAddress(-1), 0xFFFFFFFFull);
    access.Registers().Add("R1", 5);
    access.SetPcRegister(5);
    EXPECT_EQ(access.Registers().Count(), 4u);
    EXPECT_EQ(access.MemorySpaces().Count(), 2u);

    // Once the host can run calls, the program-counter id set above is in use.
    host::g_HostClientApi.ClientAPI_Synchronize = saved;
    cpu->SetPc(0x600);
    uint32_t value = 0;
    bool read = false;
    FrontEnd([&] { read = access.ReadRegister(5, value); });
    EXPECT_TRUE(read);
    EXPECT_EQ(value, 0x600u);
}

}  // namespace
