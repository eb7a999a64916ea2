// A fixture for tests that drive the module against the simulated host, with
// the tests' probe attached for the test's length. After every test: every
// host reference handed to the module was released exactly once, every call
// object the host gave back with Done is gone, every Nexus method ran on the
// host's main thread, and the module broke no rule of the host's contract (a block over the transfer
// limit, a hand-over while no main thread was serving). A test that provokes
// a violation on purpose takes it with probe.TakeContractViolations().
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/StringList.h"
#include "sim/ScriptedProcessor.h"
#include "sim/SimHost.h"
#include "sim/testing/TestProbe.h"

class SimTest : public ::testing::Test {
protected:
    sim::Host& host = sim::Host::Instance();
    sim::TestProbe probe{host};

    void SetUp() override {
        host.Reset();
        probe.Reset();
        sim::OverReleases() = 0;
        ASSERT_EQ(sim::LiveObjects().load(), 0) << "an earlier test leaked host references";
    }

    void TearDown() override {
        EXPECT_EQ(sim::LiveObjects().load(), 0) << "host references were not released";
        EXPECT_EQ(sim::OverReleases().load(), 0) << "host references were released twice";
        EXPECT_EQ(probe.mainThreadViolations(), 0) << "a Nexus method ran off the main thread";
        probe.FlushLaterDone();
        EXPECT_EQ(probe.ReleaseGivenBackCalls(), 0) << "call objects the host gave back are still alive";
        for (const std::string& violation : probe.TakeContractViolations())
            ADD_FAILURE() << "host contract violated: " << violation;
        sim::LiveObjects() = 0;
        probe.Reset();
        host.Reset();
    }

    // A processor with registers PC (the program counter), R0, R1 and SP,
    // memory spaces DATA (transfer limit 16) and CODE (limit 1024), and
    // breakpoint space 7.
    std::shared_ptr<sim::ScriptedProcessor> AddCpu(const std::string& designator = "CPU") {
        auto cpu = std::make_shared<sim::ScriptedProcessor>();
        cpu->AddRegister("R0", 0x11);
        cpu->AddRegister("R1", 0x22);
        cpu->AddRegister("SP", 0x2000);
        cpu->AddMemorySpace("DATA", 16);
        cpu->AddMemorySpace("CODE", 1024);
        cpu->SetBreakpointSpace(7);
        host.AddProcessor(designator, cpu);
        return cpu;
    }

    // The maps a front-end gives for that processor: R0=0, R1=1, SP=13,
    // DATA=1, CODE=2.
    static void AddFrontEndMaps(host::TStringList& registers, host::TStringList& memorySpaces) {
        registers.Add("R0", 0);
        registers.Add("R1", 1);
        registers.Add("SP", 13);
        memorySpaces.Add("DATA", 1);
        memorySpaces.Add("CODE", 2);
    }

    // Runs f on a front-end thread while this thread serves as the host's
    // main thread. A front-end that has not returned after the hang limit
    // (DIORX_TEST_HANG_S seconds, default 120: far beyond any wait a test
    // makes) ends the process with the test's name: a lost wake or a run
    // that never ends fails within the limit, not at the suite's time-out.
    template <class F>
    void FrontEnd(F f) {
        HangWatch watch;
        host.RunFrontEnd(f);
    }

private:
    class HangWatch {
    public:
        HangWatch() : thread_([this] { Watch(); }) {}
        ~HangWatch() {
            {
                std::lock_guard<std::mutex> guard(lock_);
                returned_ = true;
            }
            changed_.notify_all();
            thread_.join();
        }

    private:
        static std::chrono::seconds Limit() {
            const char* text = std::getenv("DIORX_TEST_HANG_S");
            const long seconds = text ? std::strtol(text, nullptr, 10) : 0;
            return std::chrono::seconds(seconds > 0 ? seconds : 120);
        }
        void Watch() {
            const auto limit = Limit();
            std::unique_lock<std::mutex> guard(lock_);
            if (changed_.wait_for(guard, limit, [this] { return returned_; })) return;
            const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
            std::fprintf(stderr, "\n%s.%s: the front-end has not returned after %lld s: a wait that never ends\n",
                         test ? test->test_suite_name() : "?", test ? test->name() : "?",
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(3);
        }

        std::mutex lock_;
        std::condition_variable changed_;
        bool returned_ = false;
        std::thread thread_;  // last: starts once the rest is made
    };
};
