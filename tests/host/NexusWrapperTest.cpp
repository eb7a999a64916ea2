// TGDI_NexusWrapper on the host's main thread: lookups through the maps and
// every operation's sequence of host calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "host/GDI_NexusWrapper.h"
#include "tests/support/MainThread.h"
#include "tests/support/SimFixture.h"

namespace {

using host::ComPtr;
using host::HostError;
using host::HRESULT;
using host::TGDI_NexusWrapper;

constexpr uint64_t Above4G = 0x100000000ull;

uint64_t Ptr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

std::string NameOf(const ComPtr<host::INexusRegister>& reg) { return reg ? reg->GetName().ToAnsi() : "<none>"; }
std::string NameOf(const ComPtr<host::INexusMemorySpace>& space) {
    return space ? space->GetName().ToAnsi() : "<none>";
}

// The calls on one method, in order.
std::vector<std::vector<uint64_t>> CallsOf(const sim::CallLog& log, const std::string& method) {
    std::vector<std::vector<uint64_t>> calls;
    for (const auto& call : log.Calls())
        if (call.method == method) calls.push_back(call.args);
    return calls;
}

// Methods named after the first call of `after` (exclusive).
std::vector<std::string> MethodsAfter(const sim::CallLog& log, const std::string& after) {
    std::vector<std::string> methods = log.Methods();
    auto it = std::find(methods.begin(), methods.end(), after);
    return it == methods.end() ? std::vector<std::string>{} : std::vector<std::string>(it + 1, methods.end());
}

bool AnyCallOn(const sim::CallLog& log, const std::string& interfacePrefix) {
    for (const auto& method : log.Methods())
        if (method.rfind(interfacePrefix, 0) == 0) return true;
    return false;
}

// Processor "CPU" (registers PC, R0, R1, SP; memory spaces DATA limit 16 and
// CODE limit 1024; breakpoint space 7), with the maps a front-end would give:
// R0=0, R1=1, SP=13, DATA=1, CODE=2.
class WrapperTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        cpu = AddCpu("CPU");
        AddFrontEndMaps(wrapper.Registers(), wrapper.MemorySpaces());
    }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
    TGDI_NexusWrapper wrapper{"CPU"};
};

// ---- Lookups -------------------------------------------------------------

TEST_F(WrapperTest, ProgramCounterIdIsMinusOneUntilSet) {
    TGDI_NexusWrapper bare("CPU");  // no map entries at all
    EXPECT_EQ(bare.PcRegisterId, -1);
    EXPECT_EQ(OnMainThread([&] { return NameOf(bare.FindRegisterById(-1)); }), "PC");
    EXPECT_EQ(probe.Log().Count("INexusProcessor::GetPcRegister"), 1u);
    EXPECT_EQ(probe.Log().Count("INexusProcessor::GetRegisterCount"), 0u);
}

TEST_F(WrapperTest, StoredProgramCounterIdWinsOverTheMap) {
    wrapper.Registers().Add("R1", 5);
    wrapper.PcRegisterId = 5;
    OnMainThread([&] {
        EXPECT_EQ(NameOf(wrapper.FindRegisterById(5)), "PC");
        EXPECT_EQ(NameOf(wrapper.FindRegisterById(-1)), "<none>");
    });
}

TEST_F(WrapperTest, RegisterOperationsTakeMinusOneAsTheProgramCounter) {
    cpu->SetPc(0x400);
    struct Case {
        int32_t pcId;
        int32_t readId;
        uint32_t expected;
    };
    const Case cases[] = {
        {-1, -1, 0x400},  // program counter without any map entry
        {-1, 0, 0x11},    // R0 through the map
        {5, -1, 0x400},   // -1 replaced by the stored id
        {5, 5, 0x400},
        {0, 0, 0x400},    // the stored id shadows the map's R0
        {0, -1, 0x400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "PcRegisterId " << c.pcId << ", id " << c.readId);
        wrapper.PcRegisterId = c.pcId;
        uint32_t value = 0xDEAD;
        EXPECT_TRUE(OnMainThread([&] { return wrapper.ReadRegister(c.readId, value); }));
        EXPECT_EQ(value, c.expected);
    }

    wrapper.PcRegisterId = 5;
    EXPECT_TRUE(OnMainThread([&] { return wrapper.WriteRegister(-1, 0x500); }));
    EXPECT_EQ(cpu->Pc(), 0x500u);
    EXPECT_EQ(cpu->ReadRegister(2), 0x22u) << "R1 must not be written";
}

TEST_F(WrapperTest, FirstMapEntryWithAnIdIsTheOnlyOneUsed) {
    wrapper.Registers().Add("R1", 3);
    wrapper.Registers().Add("R0", 3);
    wrapper.Registers().Add("NOPE", 4);
    wrapper.Registers().Add("R0", 4);
    wrapper.MemorySpaces().Add("NONE", 7);
    wrapper.MemorySpaces().Add("DATA", 7);
    OnMainThread([&] {
        EXPECT_EQ(NameOf(wrapper.FindRegisterById(3)), "R1");
        EXPECT_EQ(NameOf(wrapper.FindRegisterById(4)), "<none>");
        EXPECT_EQ(NameOf(wrapper.FindMemorySpaceById(7)), "<none>");
    });
}

TEST_F(WrapperTest, NamesMatchIgnoringTheCaseOfAToZOnly) {
    auto fold = std::make_shared<sim::ScriptedProcessor>();
    for (const char* name : {"R0", "MiXeD", "\xC9", "@", "[", "sp"}) fold->AddRegister(name);
    host.AddProcessor("FOLD", fold);
    TGDI_NexusWrapper folding("FOLD");

    struct Case {
        const char* wanted;
        const char* found;
    };
    const Case cases[] = {
        {"R0", "R0"},
        {"r0", "R0"},
        {"mixed", "MiXeD"},
        {"MIXED", "MiXeD"},
        {"SP", "sp"},
        {"\xC9", "\xC9"},
        {"\xE9", "<none>"},  // e acute is not folded to E acute
        {"`", "<none>"},     // 0x60 is not the lower case of 0x40
        {"{", "<none>"},     // 0x7B is not the lower case of 0x5B
        {"R0 ", "<none>"},
        {"R", "<none>"},
        {"", "<none>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "wanted \"" << c.wanted << "\"");
        EXPECT_EQ(OnMainThread([&] { return NameOf(folding.FindRegisterByName(c.wanted)); }), c.found);
    }

    wrapper.MemorySpaces().Add("code", 9);
    EXPECT_EQ(OnMainThread([&] { return NameOf(wrapper.FindMemorySpaceById(9)); }), "CODE");
}

TEST_F(WrapperTest, EmptyMapsFindNothingButTheProgramCounter) {
    TGDI_NexusWrapper bare("CPU");
    OnMainThread([&] {
        EXPECT_EQ(NameOf(bare.FindRegisterById(0)), "<none>");
        EXPECT_EQ(NameOf(bare.FindRegisterById(13)), "<none>");
        EXPECT_EQ(NameOf(bare.FindMemorySpaceById(1)), "<none>");
        EXPECT_EQ(NameOf(bare.FindRegisterById(-1)), "PC");
    });
    EXPECT_EQ(probe.Log().Count("INexusProcessor::GetRegister"), 0u);
    EXPECT_EQ(probe.Log().Count("INexusProcessor::GetMemorySpace"), 0u);
}

TEST_F(WrapperTest, NoCandidateIsFetchedForACountOfZeroOrLess) {
    for (int32_t count : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(count);
        probe.Log().Clear();
        cpu->registerCountAnswer = count;
        cpu->memorySpaceCountAnswer = count;
        OnMainThread([&] {
            EXPECT_EQ(NameOf(wrapper.FindRegisterByName("R0")), "<none>");
            EXPECT_EQ(NameOf(wrapper.FindMemorySpaceByName("DATA")), "<none>");
        });
        EXPECT_EQ(probe.Log().Count("INexusProcessor::GetRegisterCount"), 1u);
        EXPECT_EQ(probe.Log().Count("INexusProcessor::GetRegister"), 0u);
        EXPECT_EQ(probe.Log().Count("INexusProcessor::GetMemorySpace"), 0u);
    }
}

TEST_F(WrapperTest, EmptyDesignatorFindsTheComponentWithTheEmptyName) {
    auto unnamed = std::make_shared<sim::ScriptedProcessor>();
    unnamed->SetPc(0x77);
    host.AddProcessor("", unnamed);
    TGDI_NexusWrapper empty("");
    uint32_t value = 0;
    EXPECT_TRUE(OnMainThread([&] { return empty.ReadRegister(-1, value); }));
    EXPECT_EQ(value, 0x77u);
}

// Every operation with out-arguments preset to markers, for the cases where
// all of them must fail alike.
struct Operation {
    const char* name;
    std::function<bool(TGDI_NexusWrapper&)> run;
};

const std::vector<Operation>& AllOperations() {
    static uint32_t buffer[8];
    static const std::vector<Operation> operations = {
        {"ReadMemory", [](TGDI_NexusWrapper& w) { uint32_t n = 99; return w.ReadMemory(1, buffer, 0, 8, n) || n != 99; }},
        {"WriteMemory", [](TGDI_NexusWrapper& w) { return w.WriteMemory(1, buffer, 0, 8); }},
        {"ReadRegister", [](TGDI_NexusWrapper& w) { uint32_t v = 99; return w.ReadRegister(-1, v) || v != 99; }},
        {"WriteRegister", [](TGDI_NexusWrapper& w) { return w.WriteRegister(-1, 1); }},
        {"SetBreakpoint", [](TGDI_NexusWrapper& w) { int32_t id = 99; return w.SetBreakpoint(id, 0x10) || id != 99; }},
        {"FindBreakpointAt", [](TGDI_NexusWrapper& w) { int32_t id = 99; return w.FindBreakpointAt(id, 0x10) || id != 99; }},
        {"ClearBreakpoint", [](TGDI_NexusWrapper& w) { return w.ClearBreakpoint(0x10); }},
        {"ClearAllBreakpoints", [](TGDI_NexusWrapper& w) { return w.ClearAllBreakpoints(); }},
        {"ResetProcessor", [](TGDI_NexusWrapper& w) { return w.ResetProcessor(); }},
        {"PauseProcessor", [](TGDI_NexusWrapper& w) { return w.PauseProcessor(); }},
        {"ContinueProcessor", [](TGDI_NexusWrapper& w) { return w.ContinueProcessor(); }},
        {"SingleStep", [](TGDI_NexusWrapper& w) { uint8_t f = 99; return w.SingleStep(1, f) || f != 99; }},
        {"GetProcessorState", [](TGDI_NexusWrapper& w) { uint8_t s = 99; return w.GetProcessorState(s) || s != 99; }},
        {"StartDownload", [](TGDI_NexusWrapper& w) { return w.StartDownload(1); }},
        {"DownloadBlock", [](TGDI_NexusWrapper& w) { return w.DownloadBlock(1, buffer, 0, 8); }},
        {"StopDownload", [](TGDI_NexusWrapper& w) { return w.StopDownload(1); }},
        {"FinishDownload", [](TGDI_NexusWrapper& w) { return w.FinishDownload(1); }},
    };
    return operations;
}

TEST_F(WrapperTest, EveryOperationFailsWithoutAProcessor) {
    host.AddComponentWithoutProcessor("BARE");
    for (const char* designator : {"NOPE", "BARE"}) {
        TGDI_NexusWrapper missing(designator);
        missing.Registers().Add("R0", 0);
        missing.MemorySpaces().Add("DATA", 1);
        for (const Operation& op : AllOperations()) {
            SCOPED_TRACE(testing::Message() << designator << ": " << op.name);
            probe.Log().Clear();
            EXPECT_FALSE(OnMainThread([&] { return op.run(missing); })) << "succeeded or wrote an out-argument";
            EXPECT_FALSE(AnyCallOn(probe.Log(), "INexusProcessor::"));
        }
    }
}

// ---- Memory --------------------------------------------------------------

TEST_F(WrapperTest, ReadMemoryIsOneBlockBoundedByTheTransferLimit) {
    struct Case {
        uint32_t limit;
        uint32_t count;
        uint32_t expected;
    };
    const Case cases[] = {{4, 10, 4}, {10, 10, 10}, {16, 10, 10}, {16, 0, 0}, {0, 5, 0}};
    const uint64_t address = Above4G + 0x20;
    int32_t spaceId = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "limit " << c.limit << ", count " << c.count);
        const int32_t index = cpu->AddMemorySpace("LIMITED" + std::to_string(spaceId), c.limit);
        wrapper.MemorySpaces().Add("LIMITED" + std::to_string(spaceId), spaceId);
        for (uint32_t i = 0; i < c.count; ++i) cpu->SetWord(index, address + i, 0x100 + i);
        probe.Log().Clear();

        std::vector<uint32_t> buffer(c.count + 2, 0xDEADBEEF);
        uint32_t transferred = 0xFFFF;
        EXPECT_TRUE(OnMainThread([&] { return wrapper.ReadMemory(spaceId, buffer.data(), address, c.count, transferred); }));
        EXPECT_EQ(transferred, c.expected);
        const auto reads = CallsOf(probe.Log(), "INexusMemorySpace::ReadBlock");
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0], (std::vector<uint64_t>{uint64_t(index), Ptr(buffer.data()), address, c.expected}));
        for (uint32_t i = 0; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], i < c.expected ? 0x100 + i : 0xDEADBEEF) << "word " << i;
        ++spaceId;
    }
}

TEST_F(WrapperTest, ReadMemoryReportsTheBoundBeforeAFailingRead) {
    probe.InjectFault("INexusMemorySpace::ReadBlock", static_cast<HRESULT>(0x80070057u));
    uint32_t buffer[20] = {};
    uint32_t transferred = 0;
    OnMainThread([&] { EXPECT_THROW(wrapper.ReadMemory(1, buffer, 0, 20, transferred), HostError); });
    EXPECT_EQ(transferred, 16u);
}

TEST_F(WrapperTest, LongWritesGoOutInConsecutiveBlocksOfAtMostTheLimit) {
    struct Block {
        uint32_t offset;
        uint32_t count;
    };
    struct Case {
        uint32_t limit;
        uint32_t count;
        bool result;
        std::vector<Block> blocks;
    };
    const Case cases[] = {
        {16, 3, true, {{0, 3}}},
        {4, 8, true, {{0, 4}, {4, 4}}},
        {4, 10, true, {{0, 4}, {4, 4}, {8, 2}}},
        {1, 3, true, {{0, 1}, {1, 1}, {2, 1}}},
        {16, 0, true, {{0, 0}}},
        {0, 0, true, {{0, 0}}},
        {0, 5, false, {}},  // nothing can be written: fail without a write
    };
    using Write = bool (TGDI_NexusWrapper::*)(int32_t, const uint32_t*, uint64_t, uint32_t);
    const std::pair<const char*, Write> writers[] = {{"WriteMemory", &TGDI_NexusWrapper::WriteMemory},
                                                     {"DownloadBlock", &TGDI_NexusWrapper::DownloadBlock}};
    const uint64_t address = Above4G - 2;  // the blocks cross 2^32
    int32_t spaceId = 100;
    for (const auto& [writerName, write] : writers) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << writerName << ", limit " << c.limit << ", count " << c.count);
            const std::string name = "LIMITED" + std::to_string(spaceId);
            const int32_t index = cpu->AddMemorySpace(name, c.limit);
            wrapper.MemorySpaces().Add(name, spaceId);
            probe.Log().Clear();

            std::vector<uint32_t> buffer(c.count + 1);
            for (uint32_t i = 0; i < buffer.size(); ++i) buffer[i] = 0xA000 + i;
            EXPECT_EQ(OnMainThread([&] { return (wrapper.*write)(spaceId, buffer.data(), address, c.count); }), c.result);

            const auto writes = CallsOf(probe.Log(), "INexusMemorySpace::WriteBlock");
            ASSERT_EQ(writes.size(), c.blocks.size());
            for (std::size_t b = 0; b < c.blocks.size(); ++b) {
                const Block& block = c.blocks[b];
                EXPECT_EQ(writes[b], (std::vector<uint64_t>{uint64_t(index), Ptr(buffer.data() + block.offset),
                                                            address + block.offset, block.count}))
                    << "block " << b;
            }
            for (uint32_t i = 0; i <= c.count; ++i)
                EXPECT_EQ(cpu->Word(index, address + i), c.result && i < c.count ? 0xA000 + i : 0u) << "word " << i;
            ++spaceId;
        }
    }
}

TEST_F(WrapperTest, UnlistedSpaceIdFailsWithoutTouchingAMemorySpace) {
    uint32_t buffer[4] = {};
    uint32_t transferred = 55;
    const std::pair<const char*, std::function<bool()>> operations[] = {
        {"ReadMemory", [&] { return wrapper.ReadMemory(99, buffer, 0, 4, transferred); }},
        {"WriteMemory", [&] { return wrapper.WriteMemory(99, buffer, 0, 4); }},
        {"StartDownload", [&] { return wrapper.StartDownload(99); }},
        {"DownloadBlock", [&] { return wrapper.DownloadBlock(99, buffer, 0, 4); }},
        {"StopDownload", [&] { return wrapper.StopDownload(99); }},
        {"FinishDownload", [&] { return wrapper.FinishDownload(99); }},
    };
    for (const auto& [name, run] : operations) {
        SCOPED_TRACE(name);
        probe.Log().Clear();
        EXPECT_FALSE(OnMainThread(run));
        EXPECT_EQ(probe.Log().Count("INexusProcessor::GetMemorySpace"), 0u);
        EXPECT_FALSE(AnyCallOn(probe.Log(), "INexusMemorySpace::"));
    }
    EXPECT_EQ(transferred, 55u);
}

// ---- Registers -----------------------------------------------------------

TEST_F(WrapperTest, RegistersAreReadAndWrittenThroughTheMap) {
    uint32_t value = 0;
    OnMainThread([&] {
        EXPECT_TRUE(wrapper.ReadRegister(13, value));
        EXPECT_EQ(value, 0x2000u);
        EXPECT_TRUE(wrapper.WriteRegister(1, 0x77));
    });
    EXPECT_EQ(cpu->ReadRegister(2), 0x77u);
    EXPECT_EQ(probe.Log().LastArgs("INexusRegister::WriteValue"), (std::vector<uint64_t>{2, 0x77}));

    probe.Log().Clear();
    value = 0x1234;
    OnMainThread([&] {
        EXPECT_FALSE(wrapper.ReadRegister(42, value));
        EXPECT_FALSE(wrapper.WriteRegister(42, 1));
    });
    EXPECT_EQ(value, 0x1234u);
    EXPECT_FALSE(AnyCallOn(probe.Log(), "INexusRegister::"));
}

// ---- Breakpoints ---------------------------------------------------------

TEST_F(WrapperTest, BreakpointIdIsTheLowHalfOfTheRequestedAddress) {
    struct Case {
        uint64_t address;
        int32_t id;
    };
    const Case cases[] = {
        {0x100, 0x100}, {Above4G + 16, 16}, {0xFFFFFFFF, -1}, {0x80000000, INT32_MIN}, {0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "address 0x" << c.address);
        probe.Log().Clear();
        int32_t setId = 99, foundId = 99;
        OnMainThread([&] {
            EXPECT_TRUE(wrapper.SetBreakpoint(setId, c.address));
            EXPECT_TRUE(wrapper.FindBreakpointAt(foundId, c.address));
        });
        EXPECT_EQ(setId, c.id);
        EXPECT_EQ(foundId, c.id);
        EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::AddBreakpoint"), (std::vector<uint64_t>{7, c.address}));
        EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::FindBreakpoint"), (std::vector<uint64_t>{7, c.address}));
        EXPECT_TRUE(cpu->Breakpoints().count(c.address));
    }
}

TEST_F(WrapperTest, ClearBreakpointLooksTheIdUpZeroExtended) {
    int32_t id = 0;
    OnMainThread([&] {
        ASSERT_TRUE(wrapper.SetBreakpoint(id, Above4G + 16));
        ASSERT_TRUE(wrapper.SetBreakpoint(id, 0xFFFFFFFF));
    });
    probe.Log().Clear();

    // Id 16 stands for address 16, not for the breakpoint at 2^32 + 16.
    EXPECT_EQ(TGDI_NexusWrapper::GetBreakpointAddress(16), 16u);
    EXPECT_FALSE(OnMainThread([&] { return wrapper.ClearBreakpoint(16); }));
    EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::FindBreakpoint"), (std::vector<uint64_t>{7, 16}));
    EXPECT_EQ(probe.Log().Count("INexusProcessor::RemoveBreakpoint"), 0u);
    EXPECT_TRUE(cpu->Breakpoints().count(Above4G + 16));

    // Id -1 is address 0xFFFFFFFF, not a sign-extended one.
    EXPECT_TRUE(OnMainThread([&] { return wrapper.ClearBreakpoint(-1); }));
    EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::RemoveBreakpoint"), (std::vector<uint64_t>{7, 0xFFFFFFFF}));
    EXPECT_FALSE(cpu->Breakpoints().count(0xFFFFFFFF));
}

TEST_F(WrapperTest, BreakpointsTheHostDoesNotHave) {
    int32_t id = 0;
    OnMainThread([&] { ASSERT_TRUE(wrapper.SetBreakpoint(id, 0x40)); });

    id = 99;
    OnMainThread([&] {
        EXPECT_FALSE(wrapper.SetBreakpoint(id, 0x40)) << "the host set no second breakpoint";
        EXPECT_FALSE(wrapper.FindBreakpointAt(id, 0x44));
    });
    EXPECT_EQ(id, 99);

    OnMainThread([&] {
        EXPECT_TRUE(wrapper.SetBreakpoint(id, 0x80));
        EXPECT_TRUE(wrapper.ClearAllBreakpoints());
    });
    EXPECT_TRUE(cpu->Breakpoints().empty());
    EXPECT_EQ(probe.Log().Count("INexusProcessor::RemoveAllBreakpoints"), 1u);
}

TEST_F(WrapperTest, ProcessorWithoutBreakpointSpace) {
    cpu->SetBreakpointSpace(std::nullopt);
    int32_t id = 99;
    OnMainThread([&] {
        EXPECT_FALSE(wrapper.SetBreakpoint(id, 0x40));
        EXPECT_FALSE(wrapper.FindBreakpointAt(id, 0x40));
        EXPECT_FALSE(wrapper.ClearBreakpoint(0x40));
        EXPECT_TRUE(wrapper.ClearAllBreakpoints());
    });
    EXPECT_EQ(id, 99);
    EXPECT_EQ(probe.Log().Count("INexusProcessor::AddBreakpoint"), 0u);
    EXPECT_EQ(probe.Log().Count("INexusProcessor::FindBreakpoint"), 0u);
    EXPECT_EQ(probe.Log().Count("INexusProcessor::RemoveBreakpoint"), 0u);
}

TEST(BreakpointAddressTest, ConversionsAreZeroExtendingInverses) {
    struct Case {
        uint64_t address;
        int32_t id;
        uint64_t back;
    };
    const Case cases[] = {
        {0, 0, 0},
        {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},
        {0x80000000, INT32_MIN, 0x80000000},
        {0xFFFFFFFF, -1, 0xFFFFFFFF},
        {Above4G + 16, 16, 16},
        {0xFFFFFFFF00000001ull, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "address 0x" << c.address);
        EXPECT_EQ(TGDI_NexusWrapper::TranslateAddress(c.address), c.id);
        EXPECT_EQ(TGDI_NexusWrapper::GetBreakpointAddress(c.id), c.back);
    }
}

// ---- Run control and state -----------------------------------------------

TEST_F(WrapperTest, RunControlIsOneCallWithoutWaiting) {
    const std::pair<const char*, bool (TGDI_NexusWrapper::*)()> operations[] = {
        {"INexusProcessor::Reset", &TGDI_NexusWrapper::ResetProcessor},
        {"INexusProcessor::Pause", &TGDI_NexusWrapper::PauseProcessor},
        {"INexusProcessor::Continue", &TGDI_NexusWrapper::ContinueProcessor},
    };
    for (const auto& [method, run] : operations) {
        SCOPED_TRACE(method);
        probe.Log().Clear();
        EXPECT_TRUE(OnMainThread([&] { return (wrapper.*run)(); }));
        EXPECT_EQ(probe.Log().Count(method), 1u);
        EXPECT_EQ(probe.Log().Methods().back(), method) << "nothing may follow the call";
    }
    EXPECT_EQ(cpu->state(), sim::ScriptedProcessor::State::Running) << "Continue leaves the processor running";
}

TEST_F(WrapperTest, SingleStepPollsIsHaltedUntilTheProcessorHalts) {
    struct Case {
        int haltAfterQueries;
        std::size_t polls;
    };
    for (const Case& c : {Case{0, 1}, Case{3, 3}}) {
        SCOPED_TRACE(testing::Message() << "halts after " << c.haltAfterQueries << " queries");
        cpu->onStep = {c.haltAfterQueries, std::nullopt};
        probe.Log().Clear();
        uint8_t finished = 0xAA;
        EXPECT_TRUE(OnMainThread([&] { return wrapper.SingleStep(3, finished); }));
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(probe.Log().LastArgs("INexusProcessor::StepProcessor"), (std::vector<uint64_t>{3}));
        EXPECT_EQ(MethodsAfter(probe.Log(), "INexusProcessor::StepProcessor"),
                  std::vector<std::string>(c.polls, "INexusProcessor::IsHalted"));
    }
}

// Slow: waits out the one-second limit.
TEST_F(WrapperTest, SingleStepThatNeverHaltsStillSucceedsUnfinished) {
    cpu->onStep = {sim::ScriptedProcessor::Never, std::nullopt};
    uint8_t finished = 0xAA;
    EXPECT_TRUE(OnMainThread([&] { return wrapper.SingleStep(1, finished); }));
    EXPECT_EQ(finished, 0);
    // A second of polls overflows the bounded log: when it dropped the step
    // itself, everything it kept comes after the step.
    const auto methods = probe.Log().Methods();
    const auto step = std::find(methods.begin(), methods.end(), "INexusProcessor::StepProcessor");
    EXPECT_TRUE(step != methods.end() || probe.Log().Dropped() > 0);
    const std::vector<std::string> after(step == methods.end() ? methods.begin() : step + 1, methods.end());
    EXPECT_GT(after.size(), 1u);
    EXPECT_EQ(after, std::vector<std::string>(after.size(), "INexusProcessor::IsHalted"));
    EXPECT_EQ(cpu->state(), sim::ScriptedProcessor::State::Running) << "the step is not withdrawn";
}

TEST_F(WrapperTest, ProcessorStateAsksInOrderAndStopsAtTheFirstTrue) {
    using State = sim::ScriptedProcessor::State;
    const std::vector<std::string> all = {"INexusProcessor::IsNotStarted", "INexusProcessor::IsRunning",
                                          "INexusProcessor::IsHalted"};
    struct Case {
        const char* name;
        std::function<void(sim::ScriptedProcessor&)> prepare;
        uint8_t state;
        std::size_t queries;
    };
    const Case cases[] = {
        {"not started", [](sim::ScriptedProcessor& p) { p.SetState(State::NotStarted); }, 1, 1},
        {"running", [](sim::ScriptedProcessor& p) { p.Continue(); }, 2, 2},
        {"halted", [](sim::ScriptedProcessor& p) { p.SetState(State::Halted); }, 3, 3},
        {"all false", [](sim::ScriptedProcessor& p) { p.answersAllFalse = true; }, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare(*cpu);
        probe.Log().Clear();
        uint8_t state = 0xEE;
        EXPECT_TRUE(OnMainThread([&] { return wrapper.GetProcessorState(state); }));
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(MethodsAfter(probe.Log(), "INexusComponent::GetProcessorInterface"),
                  std::vector<std::string>(all.begin(), all.begin() + c.queries));
    }
}

// ---- Download ------------------------------------------------------------

TEST_F(WrapperTest, DownloadStepsAnswerWhatTheMemorySpaceAnswers) {
    struct Case {
        const char* name;
        bool (TGDI_NexusWrapper::*run)(int32_t);
        const char* method;
        bool beginAnswer;
        bool endAnswer;
        bool expected;
    };
    const Case cases[] = {
        {"StartDownload", &TGDI_NexusWrapper::StartDownload, "INexusMemorySpace::BeginDownload", true, false, true},
        {"StartDownload refused", &TGDI_NexusWrapper::StartDownload, "INexusMemorySpace::BeginDownload", false, true, false},
        {"FinishDownload", &TGDI_NexusWrapper::FinishDownload, "INexusMemorySpace::EndDownload", false, true, true},
        {"FinishDownload refused", &TGDI_NexusWrapper::FinishDownload, "INexusMemorySpace::EndDownload", true, false, false},
        {"StopDownload", &TGDI_NexusWrapper::StopDownload, "INexusMemorySpace::EndDownload", false, true, true},
        {"StopDownload refused", &TGDI_NexusWrapper::StopDownload, "INexusMemorySpace::EndDownload", true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->Space(1).beginDownloadAnswer = c.beginAnswer;
        cpu->Space(1).endDownloadAnswer = c.endAnswer;
        probe.Log().Clear();
        EXPECT_EQ(OnMainThread([&] { return (wrapper.*c.run)(2); }), c.expected);
        EXPECT_EQ(probe.Log().Count(c.method), 1u);
        EXPECT_EQ(probe.Log().LastArgs(c.method), (std::vector<uint64_t>{1}));
        EXPECT_EQ(probe.Log().Methods().back(), c.method);
    }
}

// ---- Failing host calls --------------------------------------------------

TEST_F(WrapperTest, FailingHostCallRaisesAndReleasesEverything) {
    constexpr HRESULT Fault = static_cast<HRESULT>(0x80070057u);
    int32_t id = 0;
    OnMainThread([&] { ASSERT_TRUE(wrapper.SetBreakpoint(id, 0x40)); });
    uint32_t buffer[32] = {};

    struct Case {
        const char* method;
        std::function<void()> run;
        HRESULT status;
    };
    uint32_t value = 0;
    uint8_t byte = 0;
    const Case cases[] = {
        {"GetNexusWorkspace", [&] { wrapper.ResetProcessor(); }, host::E_UNEXPECTED},
        {"INexusWorkspace::FindByDesignator", [&] { wrapper.ResetProcessor(); }, Fault},
        {"INexusComponent::GetProcessorInterface", [&] { wrapper.ResetProcessor(); }, Fault},
        {"INexusProcessor::GetRegisterCount", [&] { wrapper.ReadRegister(0, value); }, Fault},
        {"INexusProcessor::GetRegister", [&] { wrapper.ReadRegister(0, value); }, Fault},
        {"INexusRegister::GetName", [&] { wrapper.WriteRegister(1, 0); }, Fault},
        {"INexusProcessor::GetPcRegister", [&] { wrapper.ReadRegister(-1, value); }, Fault},
        {"INexusRegister::ReadValue", [&] { wrapper.ReadRegister(-1, value); }, Fault},
        {"INexusRegister::WriteValue", [&] { wrapper.WriteRegister(-1, 0); }, Fault},
        {"INexusProcessor::GetMemorySpaceCount", [&] { wrapper.ReadMemory(1, buffer, 0, 4, value); }, Fault},
        {"INexusProcessor::GetMemorySpace", [&] { wrapper.ReadMemory(1, buffer, 0, 4, value); }, Fault},
        {"INexusMemorySpace::GetName", [&] { wrapper.WriteMemory(2, buffer, 0, 4); }, Fault},
        {"INexusMemorySpace::GetTransferLimit", [&] { wrapper.WriteMemory(1, buffer, 0, 32); }, Fault},
        {"INexusMemorySpace::WriteBlock", [&] { wrapper.DownloadBlock(1, buffer, 0, 32); }, Fault},
        {"INexusMemorySpace::BeginDownload", [&] { wrapper.StartDownload(1); }, Fault},
        {"INexusMemorySpace::EndDownload", [&] { wrapper.StopDownload(1); }, Fault},
        {"INexusProcessor::GetBreakpointSpace", [&] { wrapper.SetBreakpoint(id, 0x80); }, Fault},
        {"INexusBreakpointSpace::GetSpaceId", [&] { wrapper.ClearBreakpoint(0x40); }, Fault},
        {"INexusProcessor::AddBreakpoint", [&] { wrapper.SetBreakpoint(id, 0x80); }, Fault},
        {"INexusProcessor::FindBreakpoint", [&] { wrapper.ClearBreakpoint(0x40); }, Fault},
        {"INexusBreakpoint::GetAddress", [&] { wrapper.FindBreakpointAt(id, 0x40); }, Fault},
        {"INexusProcessor::RemoveBreakpoint", [&] { wrapper.ClearBreakpoint(0x40); }, Fault},
        {"INexusProcessor::RemoveAllBreakpoints", [&] { wrapper.ClearAllBreakpoints(); }, Fault},
        {"INexusProcessor::Reset", [&] { wrapper.ResetProcessor(); }, Fault},
        {"INexusProcessor::Pause", [&] { wrapper.PauseProcessor(); }, Fault},
        {"INexusProcessor::Continue", [&] { wrapper.ContinueProcessor(); }, Fault},
        {"INexusProcessor::StepProcessor", [&] { wrapper.SingleStep(1, byte); }, Fault},
        {"INexusProcessor::IsHalted", [&] { wrapper.SingleStep(1, byte); }, Fault},
        {"INexusProcessor::IsNotStarted", [&] { wrapper.GetProcessorState(byte); }, Fault},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        probe.ClearFaults();
        probe.InjectFault(c.method, Fault);
        probe.Log().Clear();
        HRESULT status = 0;
        OnMainThread([&] {
            try {
                c.run();
            } catch (const HostError& error) {
                status = error.Status();
            }
        });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(probe.Log().Count(c.method), 1u) << "the operation did not reach the failing call";
        EXPECT_EQ(sim::LiveObjects().load(), 0) << "references left after the error";
    }
    probe.ClearFaults();
    EXPECT_TRUE(cpu->Breakpoints().count(0x40)) << "the breakpoint survives every failed clear";
}

TEST_F(WrapperTest, FailingStateQueryLeavesTheStateByteCleared) {
    cpu->SetState(sim::ScriptedProcessor::State::Halted);
    probe.InjectFault("INexusProcessor::IsRunning", static_cast<HRESULT>(0x80070057u));
    uint8_t state = 0xEE;
    OnMainThread([&] { EXPECT_THROW(wrapper.GetProcessorState(state), HostError); });
    EXPECT_EQ(state, 0);
}

}  // namespace
