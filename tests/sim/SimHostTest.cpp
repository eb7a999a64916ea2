// The simulated host holds the module to the host's contract: blocks over a
// memory space's transfer limit, hand-overs while no main thread is serving,
// a Done that comes after the hand-over has returned, a bounded call log and
// failures injected by the position of a host call.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "access/GDI_SyncClasses.h"
#include "access/GDI_SynchronizedNexusAccess.h"
#include "host/GDI_NexusWrapper.h"
#include "tests/support/MainThread.h"
#include "tests/support/SimFixture.h"

namespace {

using host::ComPtr;
using host::HRESULT;
using State = sim::ScriptedProcessor::State;
using sim::E_INVALIDARG;

// A processor whose memory answers with a bus fault above 0x8000.
class FaultingProcessor : public sim::ScriptedProcessor {
public:
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override {
        return address + count <= 0x8000 && ScriptedProcessor::ReadBlock(index, buffer, address, count);
    }
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override {
        return address + count <= 0x8000 && ScriptedProcessor::WriteBlock(index, buffer, address, count);
    }
};

class StrictHost : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        cpu = std::make_shared<FaultingProcessor>();
        cpu->AddRegister("R0", 0x11);
        cpu->AddMemorySpace("DATA", 16);
        cpu->SetBreakpointSpace(7);
        host.AddProcessor("CPU", cpu);
        wrapper.Registers().Add("R0", 0);
        wrapper.MemorySpaces().Add("DATA", 1);
    }

    std::shared_ptr<FaultingProcessor> cpu;
    host::TGDI_NexusWrapper wrapper{"CPU"};
};

TEST_F(StrictHost, BlocksOverTheTransferLimitAndBusFaultsFail) {
    const struct {
        const char* name;
        unsigned slot;  // 11 ReadBlock, 12 WriteBlock
        uint64_t address;
        uint32_t count;
        HRESULT status;
        bool violation;
    } cases[] = {
        {"read at the limit", 11, 0x100, 16, sim::S_OK, false},
        {"write at the limit", 12, 0x100, 16, sim::S_OK, false},
        {"read of nothing", 11, 0x100, 0, sim::S_OK, false},
        {"read over the limit", 11, 0x200, 17, E_INVALIDARG, true},
        {"write over the limit", 12, 0x200, 17, E_INVALIDARG, true},
        {"read the core refuses", 11, 0x9000, 4, sim::E_FAIL, false},
        {"write the core refuses", 12, 0x9000, 4, sim::E_FAIL, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint32_t> words(32, 0x5A5A5A5A);
        const HRESULT status = OnMainThread([&] {
            ComPtr<host::INexusMemorySpace> space = wrapper.FindMemorySpaceByName("DATA");
            EXPECT_TRUE(space);
            return c.slot == 11 ? CallSlot<11, HRESULT>(space.Get(), words.data(), c.address, c.count)
                                : CallSlot<12, HRESULT>(space.Get(), words.data(), c.address, c.count);
        });
        EXPECT_EQ(status, c.status);
        const auto violations = probe.TakeContractViolations();
        EXPECT_EQ(violations.size(), c.violation ? 1u : 0u);
        if (c.violation && !violations.empty()) {
            EXPECT_NE(violations[0].find("transfer limit"), std::string::npos) << violations[0];
        }
        if (c.violation) {
            EXPECT_EQ(cpu->Word(0, c.address), 0u) << "nothing reached the core";
        }
    }
}

TEST_F(StrictHost, HandOverWithNoMainThreadServingIsRefusedNotRunInPlace) {
    const auto handOver = [&] {
        ComPtr<targetaccess::IUnknownLike> call(new targetaccess::TGdiSync_RegisterAccess(&wrapper, 0, 0, true));
        host.Synchronize(call.Get());
        int32_t success = 0;
        CallSlot<7, HRESULT>(call.Get(), &success);
        return success;
    };
    // No main thread at all, then a main thread that serves no other thread.
    EXPECT_EQ(handOver(), 0);
    std::thread other;
    OnMainThread([&] {
        other = std::thread([&] { EXPECT_EQ(handOver(), 0); });
        other.join();
    });
    EXPECT_EQ(probe.executeCount(), 0);
    const auto violations = probe.TakeContractViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_NE(violations[0].find("no main thread"), std::string::npos) << violations[0];

    // The main thread calling in itself runs in place; a front-end thread is
    // served by the main thread.
    EXPECT_EQ(OnMainThread(handOver), -1);
    FrontEnd([&] { EXPECT_EQ(handOver(), -1); });
    EXPECT_EQ(probe.executeCount(), 2);
}

// The host gives each call object back from a thread of its own once the
// hand-over has returned; the module must keep the object alive until then
// and read its results from its own reference.
TEST_F(StrictHost, CallObjectsGivenBackLaterKeepTheirResultsAndAreFreed) {
    probe.doneMode = sim::DoneMode::Later;
    targetaccess::TGDI_NexusAccess access{"CPU"};
    access.Registers().Add("R0", 0);
    access.MemorySpaces().Add("DATA", 1);
    const std::size_t pendingBefore = targetaccess::g_PendingCalls->Count();
    cpu->onStep = {0, std::nullopt};
    FrontEnd([&] {
        for (uint32_t round = 0; round < 200; ++round) {
            SCOPED_TRACE(round);
            uint32_t out[4] = {round, round + 1, round + 2, round + 3}, in[4] = {};
            uint32_t transferred = 0, value = 0;
            EXPECT_TRUE(access.WriteMemory(1, out, 0x40, 4));
            EXPECT_TRUE(access.ReadMemory(1, in, 0x40, 4, transferred));
            EXPECT_EQ(transferred, 4u);
            EXPECT_EQ(std::vector<uint32_t>(in, in + 4), std::vector<uint32_t>(out, out + 4));
            EXPECT_TRUE(access.WriteRegister(0, round * 3));
            EXPECT_TRUE(access.ReadRegister(0, value));
            EXPECT_EQ(value, round * 3);
            int32_t id = 0;
            EXPECT_TRUE(access.SetBreakpoint(id, 0x100 + round));
            EXPECT_EQ(id, int32_t(0x100 + round));
            int32_t found = 0;
            EXPECT_TRUE(access.FindBreakpointAt(found, 0x100 + round));
            EXPECT_EQ(found, id);
            EXPECT_TRUE(access.ClearBreakpoint(id));
            bool finished = false;
            EXPECT_TRUE(access.SingleStep(1, finished));
            EXPECT_TRUE(finished);
            uint8_t state = 0;
            EXPECT_TRUE(access.GetProcessorState(state));
            EXPECT_EQ(state, 3);
            EXPECT_TRUE(access.ResetProcessor());
        }
    });
    probe.FlushLaterDone();
    EXPECT_EQ(probe.executeCount(), 200 * 10);
    EXPECT_EQ(targetaccess::g_PendingCalls->Count(), pendingBefore) << "every object was given back and freed";
    EXPECT_TRUE(cpu->Breakpoints().empty());
}

TEST_F(StrictHost, TheKthHostCallFailsAndOnlyThatOne) {
    uint32_t value = 0;
    // The first operation of the process also has the client load the flow library.
    ASSERT_TRUE(OnMainThread([&] { return wrapper.ReadRegister(0, value); }));
    probe.ResetHostCallCount();
    probe.Log().Enable();
    ASSERT_TRUE(OnMainThread([&] { return wrapper.ReadRegister(0, value); }));
    const uint64_t calls = probe.hostCalls();
    const auto methods = probe.Log().Methods();
    ASSERT_EQ(methods.size(), calls) << "every host call is counted once";
    for (uint64_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE(k);
        probe.Log().Clear();
        probe.FailHostCall(k);
        EXPECT_THROW(OnMainThread([&] { return wrapper.ReadRegister(0, value); }), host::HostError);
        EXPECT_EQ(probe.failedHostCall(), methods[k - 1]);
        EXPECT_EQ(probe.Log().Methods().size(), k) << "the operation stops at the failing call";
        probe.FailHostCall(0);
        EXPECT_TRUE(OnMainThread([&] { return wrapper.ReadRegister(0, value); })) << "disarmed";
    }
}

TEST(CallLog, OffUntilTurnedOnAndBoundedWhenOn) {
    sim::CallLog log;
    log.Add("A", {1});
    EXPECT_THROW(log.Calls(), std::logic_error) << "a log that is off cannot be read";
    EXPECT_THROW(log.Count("A"), std::logic_error);

    log.Enable(4);
    EXPECT_TRUE(log.Calls().empty()) << "nothing was kept while off";
    for (uint64_t i = 0; i < 10; ++i) log.Add(i % 2 ? "Odd" : "Even", {i});
    const auto calls = log.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(log.Dropped(), 6u);
    for (uint64_t i = 0; i < 4; ++i) EXPECT_EQ(calls[i].args, std::vector<uint64_t>{6 + i}) << "the latest are kept";
    EXPECT_EQ(log.Count("Odd"), 2u);
    EXPECT_EQ(log.LastArgs("Even"), std::vector<uint64_t>{8});

    log.Disable();
    log.Add("A", {1});
    log.Enable();
    EXPECT_TRUE(log.Calls().empty());
    EXPECT_EQ(log.Dropped(), 0u);
}

}  // namespace
