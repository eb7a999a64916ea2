// Call objects as the host sees them (interfaces, slots, Execute and Done),
// the pending-call list, and the withdrawal of pending calls at unload.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "access/GDI_SyncClasses.h"
#include "host/ClientProcs.h"
#include "tests/support/MainThread.h"
#include "tests/support/SimFixture.h"

namespace {

using host::ComPtr;
using host::Guid;
using host::HRESULT;
using host::TGDI_NexusWrapper;
using namespace targetaccess;

constexpr Guid IID_IUnknown = IUnknownLike::IID;

// Slots of every call object, by number.
HRESULT GetSuccess(void* call) {
    int32_t success = 12345;
    EXPECT_EQ((CallSlot<7, HRESULT>(call, &success)), host::S_OK);
    return success;
}
uint32_t GetThreadIdSlot(void* call) {
    uint32_t id = 0;
    EXPECT_EQ((CallSlot<5, HRESULT>(call, &id)), host::S_OK);
    return id;
}
platform::EventHandle GetEventSlot(void* call) {
    platform::EventHandle event = nullptr;
    EXPECT_EQ((CallSlot<6, HRESULT>(call, &event)), host::S_OK);
    return event;
}
// Slot 8 of the classes whose getter has a status and a trailing out-value.
template <class Value>
Value GetValueSlot(void* call) {
    Value value{};
    EXPECT_EQ((CallSlot<8, HRESULT>(call, &value)), host::S_OK);
    return value;
}
// Slot 8 of IGdiSync_PerfomProcessorOperation: the flag itself.
int32_t GetFinishedSlot(void* call) { return CallSlot<8, int32_t>(call); }

// One way to build a call object; the result is the class interface with no
// reference yet, as the constructor leaves it.
struct CallKind {
    const char* name;
    const Guid* classIid;
    std::function<IUnknownLike*(TGDI_NexusWrapper*)> make;
};

uint32_t g_words[64];

const std::vector<CallKind>& AllKinds() {
    static const std::vector<CallKind> kinds = {
        {"register access", &IGdiSync_RegisterAccess::IID,
         [](TGDI_NexusWrapper* w) -> IUnknownLike* { return new TGdiSync_RegisterAccess(w, 0, 0, true); }},
        {"memory access", &IGdiSync_MemoryAccess::IID,
         [](TGDI_NexusWrapper* w) -> IUnknownLike* { return new TGdiSync_MemoryAccess(w, 1, 0, g_words, 4, true); }},
        {"download access", &IGdiSync_MemoryAccess::IID,
         [](TGDI_NexusWrapper* w) -> IUnknownLike* { return new TGdiSync_DownloadAccess(w, 1, 0); }},
        {"processor operation", &IGdiSync_PerfomProcessorOperation::IID,
         [](TGDI_NexusWrapper* w) -> IUnknownLike* { return new TGdiSync_PerfomProcessorOperation(w, 0, 0); }},
        {"breakpoint operation", &IGdiSync_PerfomBreakpointOperation::IID,
         [](TGDI_NexusWrapper* w) -> IUnknownLike* { return new TGdiSync_PerfomBreakpointOperation(w, 2, 0, 0); }},
        {"processor state", &IGdiSync_AccessProcessorState::IID,
         [](TGDI_NexusWrapper* w) -> IUnknownLike* { return new TGdiSync_AccessProcessorState(w); }},
    };
    return kinds;
}

// Processor "CPU" with the front-end maps and a breakpoint at 0x40.
class CallObjectTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        probe.holdGivenBackCalls = false;  // and count a call object's references
        cpu = AddCpu("CPU");
        AddFrontEndMaps(wrapper.Registers(), wrapper.MemorySpaces());
        cpu->AddBreakpoint(7, 0x40);
    }

    // Runs Execute through slot 3 on the main thread.
    HRESULT Execute(void* call) {
        return OnMainThread([&] { return sim::CallExecute(call); });
    }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
    TGDI_NexusWrapper wrapper{"CPU"};
};

// ---- Interfaces ----------------------------------------------------------

TEST_F(CallObjectTest, EveryCallInterfaceIsTheSamePointer) {
    const Guid other[] = {IGdiSync_RegisterAccess::IID,
                          IGdiSync_MemoryAccess::IID,
                          IGdiSync_PerfomProcessorOperation::IID,
                          IGdiSync_PerfomBreakpointOperation::IID,
                          IGdiSync_AccessProcessorState::IID,
                          host::IID_IClient};
    for (const CallKind& kind : AllKinds()) {
        SCOPED_TRACE(kind.name);
        ComPtr<IUnknownLike> call(kind.make(&wrapper));
        for (const Guid* iid : {&IID_IUnknown, &IThreadSynchronize::IID, &IGdiSync_Base::IID, kind.classIid}) {
            void* answer = nullptr;
            EXPECT_EQ(call->QueryInterface(*iid, &answer), host::S_OK);
            EXPECT_EQ(answer, call.Get());
            if (answer) static_cast<IUnknownLike*>(answer)->Release();
        }
        for (const Guid& iid : other) {
            if (iid == *kind.classIid) continue;
            void* answer = call.Get();
            EXPECT_EQ(call->QueryInterface(iid, &answer), host::E_NOINTERFACE);
            EXPECT_EQ(answer, nullptr);
        }
        // Only the reference taken above is left: every answer was counted once.
        EXPECT_EQ(sim::CallAddRef(call.Get()), 2u);
        EXPECT_EQ(sim::CallRelease(call.Get()), 1u);
    }
}

TEST_F(CallObjectTest, HostSlotsAnswerThroughTheTable) {
    uint32_t builderThread = 0;
    IUnknownLike* raw = nullptr;
    std::thread([&] {
        builderThread = platform::CurrentThreadId();
        raw = new TGdiSync_RegisterAccess(&wrapper, 1, 0, true);
    }).join();
    ComPtr<IUnknownLike> call(raw);

    EXPECT_EQ(GetThreadIdSlot(call.Get()), builderThread);
    EXPECT_NE(builderThread, platform::CurrentThreadId());
    const platform::EventHandle event = GetEventSlot(call.Get());
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(platform::IsEventSignalled(event));

    EXPECT_EQ(Execute(call.Get()), host::S_OK);
    EXPECT_EQ(GetSuccess(call.Get()), -1);
    EXPECT_EQ(GetValueSlot<uint32_t>(call.Get()), 0x22u);
    EXPECT_EQ(OnMainThread([&] { return sim::CallDone(call.Get()); }), host::S_OK);

    EXPECT_EQ(GetEventSlot(call.Get()), event);
    EXPECT_FALSE(platform::IsEventSignalled(event)) << "the module never signals the event";
    EXPECT_EQ(GetThreadIdSlot(call.Get()), builderThread);
}

TEST_F(CallObjectTest, ValueGettersSitInSlotEight) {
    cpu->SetWord(0, 0x10, 0xBEEF);
    uint32_t words[30] = {};
    ComPtr<IUnknownLike> read(new TGdiSync_MemoryAccess(&wrapper, 1, 0x10, words, 30, true));
    ComPtr<IUnknownLike> step(new TGdiSync_PerfomProcessorOperation(&wrapper, TGdiSync_PerfomProcessorOperation::OpSingleStep, 1));
    ComPtr<IUnknownLike> find(new TGdiSync_PerfomBreakpointOperation(&wrapper, TGdiSync_PerfomBreakpointOperation::OpFind, 0x40, 0));
    ComPtr<IUnknownLike> state(new TGdiSync_AccessProcessorState(&wrapper));

    EXPECT_EQ(GetFinishedSlot(step.Get()), 0);
    for (IUnknownLike* call : {read.Get(), step.Get(), find.Get(), state.Get()}) EXPECT_EQ(Execute(call), host::S_OK);

    EXPECT_EQ(GetValueSlot<uint32_t>(read.Get()), 16u);  // bounded by DATA's limit
    EXPECT_EQ(words[0], 0xBEEFu);
    EXPECT_EQ(GetFinishedSlot(step.Get()), -1);
    EXPECT_EQ(GetValueSlot<int32_t>(find.Get()), 0x40);
    EXPECT_EQ(GetValueSlot<uint8_t>(state.Get()), 3);  // halted after the step
}

// ---- Execute -------------------------------------------------------------

TEST_F(CallObjectTest, EachCodeRunsItsOwnWrapperOperation) {
    // The host calls that tell the operations apart.
    const std::vector<std::string> telling = {
        "INexusRegister::ReadValue",       "INexusRegister::WriteValue",        "INexusMemorySpace::ReadBlock",
        "INexusMemorySpace::WriteBlock",   "INexusMemorySpace::BeginDownload",  "INexusMemorySpace::EndDownload",
        "INexusProcessor::Reset",          "INexusProcessor::Pause",            "INexusProcessor::Continue",
        "INexusProcessor::StepProcessor",  "INexusProcessor::AddBreakpoint",    "INexusProcessor::FindBreakpoint",
        "INexusProcessor::RemoveBreakpoint", "INexusProcessor::RemoveAllBreakpoints", "INexusProcessor::IsNotStarted",
    };
    using Download = TGdiSync_DownloadAccess;
    using Processor = TGdiSync_PerfomProcessorOperation;
    using Breakpoint = TGdiSync_PerfomBreakpointOperation;
    uint32_t* words = g_words;
    struct Case {
        const char* name;
        std::function<IUnknownLike*()> make;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"register read", [&] { return new TGdiSync_RegisterAccess(&wrapper, 0, 0, true); }, {"INexusRegister::ReadValue"}},
        {"register write", [&] { return new TGdiSync_RegisterAccess(&wrapper, 0, 5, false); }, {"INexusRegister::WriteValue"}},
        {"memory read", [&] { return new TGdiSync_MemoryAccess(&wrapper, 1, 0, words, 4, true); }, {"INexusMemorySpace::ReadBlock"}},
        {"memory write", [&] { return new TGdiSync_MemoryAccess(&wrapper, 1, 0, words, 4, false); }, {"INexusMemorySpace::WriteBlock"}},
        {"download step 0", [&] { return new Download(&wrapper, 1, Download::StepStart); }, {"INexusMemorySpace::BeginDownload"}},
        {"download block", [&] { return new Download(&wrapper, 1, 0, words, 4); }, {"INexusMemorySpace::WriteBlock"}},
        {"download step 2", [&] { return new Download(&wrapper, 1, Download::StepStop); }, {"INexusMemorySpace::EndDownload"}},
        {"download step 3", [&] { return new Download(&wrapper, 1, Download::StepFinish); }, {"INexusMemorySpace::EndDownload"}},
        {"processor 0", [&] { return new Processor(&wrapper, 0, 0); }, {"INexusProcessor::Reset"}},
        {"processor 1", [&] { return new Processor(&wrapper, 1, 0); }, {"INexusProcessor::Pause"}},
        {"processor 2", [&] { return new Processor(&wrapper, 2, 0); }, {"INexusProcessor::Continue"}},
        {"processor 3", [&] { return new Processor(&wrapper, 3, 2); }, {"INexusProcessor::StepProcessor"}},
        {"breakpoint 0", [&] { return new Breakpoint(&wrapper, 0, 0x80, 0); }, {"INexusProcessor::AddBreakpoint"}},
        {"breakpoint 1", [&] { return new Breakpoint(&wrapper, 1, 0, 0x40); },
         {"INexusProcessor::FindBreakpoint", "INexusProcessor::RemoveBreakpoint"}},
        {"breakpoint 2", [&] { return new Breakpoint(&wrapper, 2, 0, 0); }, {"INexusProcessor::RemoveAllBreakpoints"}},
        {"breakpoint 3", [&] { return new Breakpoint(&wrapper, 3, 0x40, 0); }, {"INexusProcessor::FindBreakpoint"}},
        {"processor state", [&] { return new TGdiSync_AccessProcessorState(&wrapper); }, {"INexusProcessor::IsNotStarted"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->AddBreakpoint(7, 0x40);
        cpu->Reset();
        probe.Log().Clear();
        ComPtr<IUnknownLike> call(c.make());
        EXPECT_EQ(Execute(call.Get()), host::S_OK);
        EXPECT_EQ(GetSuccess(call.Get()), -1);
        std::vector<std::string> seen;
        for (const std::string& method : probe.Log().Methods())
            if (std::find(telling.begin(), telling.end(), method) != telling.end()) seen.push_back(method);
        EXPECT_EQ(seen, c.calls);
    }
}

TEST_F(CallObjectTest, CodesAboveThreeRunNothing) {
    const std::pair<const char*, std::function<IUnknownLike*()>> cases[] = {
        {"processor 4", [&] { return new TGdiSync_PerfomProcessorOperation(&wrapper, 4, 0); }},
        {"processor 255", [&] { return new TGdiSync_PerfomProcessorOperation(&wrapper, 255, 0); }},
        {"breakpoint 4", [&] { return new TGdiSync_PerfomBreakpointOperation(&wrapper, 4, 0x40, 7); }},
        {"download 4", [&] { return new TGdiSync_DownloadAccess(&wrapper, 1, 4); }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        probe.Log().Clear();
        ComPtr<IUnknownLike> call(make());
        EXPECT_EQ(Execute(call.Get()), host::S_OK);
        EXPECT_EQ(GetSuccess(call.Get()), 0);
        EXPECT_TRUE(probe.Log().Calls().empty());
    }
}

TEST_F(CallObjectTest, FailedOperationsReportZeroAndFalse) {
    using Breakpoint = TGdiSync_PerfomBreakpointOperation;
    struct Case {
        const char* name;
        const char* fault;  // null: the operation simply finds nothing
        std::function<IUnknownLike*()> make;
        HRESULT status;
        uint32_t value;  // what slot 8 delivers afterwards
    };
    const Case cases[] = {
        {"register read, host error", "INexusRegister::ReadValue",
         [&] { return new TGdiSync_RegisterAccess(&wrapper, 0, 0xCAFE, true); }, host::E_UNEXPECTED, 0xCAFE},
        {"register read, unmapped id", nullptr, [&] { return new TGdiSync_RegisterAccess(&wrapper, 9, 0xCAFE, true); },
         host::S_OK, 0xCAFE},
        {"memory read, host error after the bound", "INexusMemorySpace::ReadBlock",
         [&] { return new TGdiSync_MemoryAccess(&wrapper, 1, 0, g_words, 30, true); }, host::E_UNEXPECTED, 16},
        {"breakpoint set, host error", "INexusProcessor::AddBreakpoint", [&] { return new Breakpoint(&wrapper, 0, 0x80, 77); },
         host::E_UNEXPECTED, 77},
        {"breakpoint find, none there", nullptr, [&] { return new Breakpoint(&wrapper, 3, 0x84, 0); }, host::S_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        probe.ClearFaults();
        if (c.fault) probe.InjectFault(c.fault, static_cast<HRESULT>(0x80004005u));
        ComPtr<IUnknownLike> call(c.make());
        EXPECT_EQ(Execute(call.Get()), c.status);
        EXPECT_EQ(GetSuccess(call.Get()), 0);
        EXPECT_EQ(GetValueSlot<uint32_t>(call.Get()), c.value);
        EXPECT_EQ(sim::LiveObjects().load(), 0);
    }
}

TEST_F(CallObjectTest, NeverExecutedObjectsDeliverTheirConstructorValues) {
    ComPtr<IUnknownLike> reg(new TGdiSync_RegisterAccess(&wrapper, 0, 0xCAFE, true));
    ComPtr<IUnknownLike> memory(new TGdiSync_MemoryAccess(&wrapper, 1, 0, g_words, 4, true));
    ComPtr<IUnknownLike> step(new TGdiSync_PerfomProcessorOperation(&wrapper, 3, 1));
    ComPtr<IUnknownLike> set(new TGdiSync_PerfomBreakpointOperation(&wrapper, 0, 0x80, 0x1234));
    ComPtr<IUnknownLike> find(new TGdiSync_PerfomBreakpointOperation(&wrapper, 3, 0x40, 0));
    ComPtr<IUnknownLike> state(new TGdiSync_AccessProcessorState(&wrapper));

    for (IUnknownLike* call : {reg.Get(), memory.Get(), step.Get(), set.Get(), find.Get(), state.Get()})
        EXPECT_EQ(GetSuccess(call), 0);
    EXPECT_EQ(GetValueSlot<uint32_t>(reg.Get()), 0xCAFEu);
    EXPECT_EQ(GetValueSlot<uint32_t>(memory.Get()), 0u);
    EXPECT_EQ(GetFinishedSlot(step.Get()), 0);
    EXPECT_EQ(GetValueSlot<int32_t>(set.Get()), 0x1234);
    EXPECT_EQ(GetValueSlot<int32_t>(find.Get()), 0);
    EXPECT_EQ(GetValueSlot<uint8_t>(state.Get()), 0);
    EXPECT_TRUE(probe.Log().Calls().empty());
}

// ---- Pending calls -------------------------------------------------------

// Saves the host entry points and the pending list, and puts them back.
class PendingCallsTest : public CallObjectTest {
protected:
    void SetUp() override {
        CallObjectTest::SetUp();
        saved = host::g_HostClientApi;
        ASSERT_TRUE(g_PendingCalls);
        before = g_PendingCalls->Count();
    }
    void TearDown() override {
        host::g_HostClientApi = saved;
        if (!g_PendingCalls) InitializeModule();
        CallObjectTest::TearDown();
    }

    // Hands a call over as the host's main loop would call into the module:
    // from the main thread itself, so that it runs in place.
    static void HandOver(IUnknownLike* call) { OnMainThread([&] { RunOnMainThread(call); }); }

    // A built call object with the builder's one reference.
    ComPtr<IUnknownLike> NewCall() { return ComPtr<IUnknownLike>(new TGdiSync_PerfomProcessorOperation(&wrapper, 1, 0)); }

    host::HostClientApi saved;
    std::size_t before = 0;
};

TEST_F(PendingCallsTest, DoneDropsTheListsReference) {
    probe.doneMode = sim::DoneMode::Never;
    ComPtr<IUnknownLike> call = NewCall();
    HandOver(call.Get());
    EXPECT_EQ(probe.executeCount(), 1);
    EXPECT_EQ(GetSuccess(call.Get()), -1);
    EXPECT_EQ(g_PendingCalls->Count(), before + 1);
    EXPECT_EQ(sim::CallAddRef(call.Get()), 3u) << "builder, list and this one";
    sim::CallRelease(call.Get());

    // The builder lets go; the list keeps the object alive until Done.
    IUnknownLike* raw = call.Get();
    call.Reset();
    EXPECT_EQ(GetThreadIdSlot(raw), platform::CurrentThreadId());
    EXPECT_EQ(sim::CallDone(raw), host::S_OK);
    EXPECT_EQ(g_PendingCalls->Count(), before);
}

TEST_F(PendingCallsTest, SecondDoneAndDoneOnAnUnlistedObjectChangeNothing) {
    probe.doneMode = sim::DoneMode::Twice;
    ComPtr<IUnknownLike> twice = NewCall();
    HandOver(twice.Get());
    EXPECT_EQ(g_PendingCalls->Count(), before);
    EXPECT_EQ(sim::CallAddRef(twice.Get()), 2u) << "the list dropped its reference only once";
    EXPECT_EQ(sim::CallRelease(twice.Get()), 1u);

    ComPtr<IUnknownLike> unlisted = NewCall();
    EXPECT_EQ(sim::CallDone(unlisted.Get()), host::S_OK);
    EXPECT_EQ(g_PendingCalls->Count(), before);
    EXPECT_EQ(sim::CallAddRef(unlisted.Get()), 2u);
    EXPECT_EQ(sim::CallRelease(unlisted.Get()), 1u);
}

TEST_F(PendingCallsTest, WithoutSynchronizeNothingIsListedOrRun) {
    host::g_HostClientApi.ClientAPI_Synchronize = nullptr;
    ComPtr<IUnknownLike> call = NewCall();
    HandOver(call.Get());
    EXPECT_EQ(probe.executeCount(), 0);
    EXPECT_EQ(g_PendingCalls->Count(), before);
    EXPECT_EQ(GetSuccess(call.Get()), 0);
    EXPECT_EQ(sim::CallAddRef(call.Get()), 2u) << "nobody but the builder holds it";
    EXPECT_EQ(sim::CallRelease(call.Get()), 1u);
}

TEST_F(PendingCallsTest, UnloadWithdrawsEachPendingCallOnce) {
    ASSERT_EQ(before, 0u) << "an earlier test left calls pending";
    probe.doneMode = sim::DoneMode::Never;
    void* pending[3];
    for (void*& p : pending) {
        ComPtr<IUnknownLike> call = NewCall();
        HandOver(call.Get());
        p = call.Get();
    }
    EXPECT_EQ(sim::CallDone(pending[1]), host::S_OK);  // the host gave the middle one back
    ASSERT_EQ(g_PendingCalls->Count(), 2u);

    WithdrawPendingCalls();
    EXPECT_EQ(probe.removedCalls(), (std::vector<void*>{pending[0], pending[2]}));
    EXPECT_FALSE(g_PendingCalls);
}

TEST_F(PendingCallsTest, UnloadWithoutRemoveSynchronizeJustDropsTheCalls) {
    host::g_HostClientApi.ClientAPI_RemoveSynchronize = nullptr;
    probe.doneMode = sim::DoneMode::Never;
    HandOver(NewCall().Get());
    ASSERT_EQ(g_PendingCalls->Count(), before + 1);

    WithdrawPendingCalls();
    EXPECT_TRUE(probe.removedCalls().empty());
    EXPECT_FALSE(g_PendingCalls);
}

// The host gives calls back from a thread of its own while the module is
// unloaded: each call leaves the list exactly once, by its Done or by the
// withdrawal, and nothing touches the list once it is gone (the
// ThreadSanitizer build sees any unguarded access).
TEST_F(PendingCallsTest, CallsGivenBackDuringUnloadLeaveTheListOnce) {
    ASSERT_EQ(before, 0u) << "an earlier test left calls pending";
    probe.doneMode = sim::DoneMode::Never;
    std::vector<ComPtr<IUnknownLike>> calls;  // the test's own references
    for (int i = 0; i < 400; ++i) {
        calls.push_back(NewCall());
        HandOver(calls.back().Get());
    }
    ASSERT_EQ(g_PendingCalls->Count(), calls.size());
    std::atomic<std::size_t> givenBack{0};
    std::thread hostThread([&] {
        for (const auto& call : calls) {
            EXPECT_EQ(sim::CallDone(call.Get()), host::S_OK);
            ++givenBack;
        }
    });
    while (givenBack < 20) std::this_thread::yield();

    WithdrawPendingCalls();
    hostThread.join();

    EXPECT_FALSE(g_PendingCalls);
    EXPECT_LE(probe.removedCalls().size(), calls.size() - 20) << "those given back were not withdrawn";
    for (const auto& call : calls) {
        EXPECT_EQ(sim::CallAddRef(call.Get()), 2u) << "the list's reference was dropped once";
        sim::CallRelease(call.Get());
    }
}

// The host as the tools have it, with no observer: each hand-over runs once
// and is given back once, and the host keeps no reference of its own, from
// the main loop as from a front-end thread.
TEST_F(PendingCallsTest, TheBareHostRunsEachCallAndGivesItBackOnce) {
    const struct {
        const char* name;
        bool fromFrontEnd;
    } cases[] = {{"in place on the main thread", false}, {"from a front-end thread", true}};
    ASSERT_EQ(host.SetObserver(nullptr), &probe);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IUnknownLike> call(new TGdiSync_RegisterAccess(&wrapper, 1, 0, true));
        if (c.fromFrontEnd)
            FrontEnd([&] { RunOnMainThread(call.Get()); });
        else
            HandOver(call.Get());
        EXPECT_EQ(GetSuccess(call.Get()), -1) << "not run";
        EXPECT_EQ(GetValueSlot<uint32_t>(call.Get()), 0x22u);
        EXPECT_EQ(g_PendingCalls->Count(), before) << "not given back";
        EXPECT_EQ(sim::CallAddRef(call.Get()), 2u) << "someone besides the builder holds it";
        sim::CallRelease(call.Get());
    }
    host.SetObserver(&probe);
}

TEST_F(PendingCallsTest, CallFromAFrontEndThreadRunsOnTheMainThread) {
    uint32_t frontEnd = 0;
    ComPtr<IUnknownLike> call;
    FrontEnd([&] {
        frontEnd = platform::CurrentThreadId();
        call = ComPtr<IUnknownLike>(new TGdiSync_RegisterAccess(&wrapper, -1, 0, true));
        RunOnMainThread(call.Get());
    });
    EXPECT_EQ(probe.executeCount(), 1);
    EXPECT_EQ(GetSuccess(call.Get()), -1);
    EXPECT_EQ(GetThreadIdSlot(call.Get()), frontEnd);
    EXPECT_NE(frontEnd, platform::CurrentThreadId());
    EXPECT_EQ(g_PendingCalls->Count(), before);
}

}  // namespace
