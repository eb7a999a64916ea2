// Whole debug sessions: the built module, loaded by file, drives the
// simulated Cortex-M running the sample firmware. Everything the tests check
// is read back through the module's exports.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

#include "sim/arm/ArmCortexMCore.h"
#include "tests/support/SimFixture.h"
#include "tools/common/DiModule.h"
#include "tools/orxdbg/Commands.h"
#include "tools/orxdbg/Demo.h"
#include "tools/orxdbg/Session.h"
#include "tools/orxdbg/Target.h"

using namespace orxdbg;

namespace {

constexpr const char* kDesignator = "CORTEXM";

// What the firmware stores in table[i], computed here on its own.
uint32_t TableEntry(uint32_t i) { return i * i * i + 3 * i + 7; }

// Thumb instruction size from its first halfword: 32 bits when the top five
// bits are 0b11101, 0b11110 or 0b11111.
uint32_t ThumbSize(uint16_t first) {
    const unsigned top5 = first >> 11;
    return top5 == 0b11101 || top5 == 0b11110 || top5 == 0b11111 ? 4 : 2;
}

// Conservatively: may this instruction go anywhere but the next one? (B,
// B<cond>, CBZ/CBNZ, BX/BLX, POP/LDM with PC, writes to PC, IT blocks, and
// the 32-bit branch and control space.)
bool MayBranch(uint16_t first, uint16_t second) {
    if (ThumbSize(first) == 2)
        return (first & 0xF000) == 0xD000 || (first & 0xF800) == 0xE000 || (first & 0xFF00) == 0x4700 ||
               (first & 0xF500) == 0xB100 || (first & 0xFF00) == 0xBD00 || (first & 0xFF87) == 0x4687 ||
               ((first & 0xFF00) == 0xBF00 && (first & 0x000F) != 0);
    return ((first & 0xF800) == 0xF000 && (second & 0x8000)) || (first & 0xFE00) == 0xE800 ||
           ((second & 0xF000) == 0xF000 && (first & 0xFF00) == 0xF800);
}

class DebugSession : public SimTest {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(module.Load(DIORX_MODULE_FILE, error)) << error;
    }

    void SetUp() override {
        SimTest::SetUp();
        if (std::string(DIORX_FIRMWARE_ELF).empty()) GTEST_SKIP() << "the firmware is not built";
        host.AddProcessor(kDesignator, std::make_shared<sim::ArmCortexMCore>());
        session = std::make_unique<Session>(module, out, err, options);
    }

    void TearDown() override {
        if (session && session->IsOpen()) {
            FrontEnd([&] { EXPECT_TRUE(session->Close()) << out.str(); });
        }
        session.reset();
        SimTest::TearDown();
    }

    // Open (which sends the maps), the firmware, reset: the processor waits
    // at its reset vector.
    void StartFirmware() {
        ASSERT_TRUE(session->Open(std::nullopt, std::nullopt)) << err.str();
        ASSERT_TRUE(session->Load(DIORX_FIRMWARE_ELF)) << err.str();
        ASSERT_TRUE(session->Reset()) << err.str();
    }

    Symbol Sym(const char* name) {
        const Symbol* s = session->Symbols().Find(name);
        if (!s) ADD_FAILURE() << "the firmware has no symbol " << name;
        return s ? *s : Symbol{};
    }

    // A symbol's address as the tool's 32-bit locations hold it.
    uint32_t Addr(const char* name) { return static_cast<uint32_t>(Sym(name).address); }

    // Runs to the first instruction of compute_table.
    void RunToComputeTable() {
        StartFirmware();
        ASSERT_TRUE(session->Break({Addr("compute_table"), "compute_table"})) << out.str();
        ASSERT_TRUE(session->Continue()) << out.str();
    }

    std::vector<uint32_t> ReadWords(uint64_t address, uint32_t count) {
        const auto bytes = session->ReadMemory(address, count * 4);
        if (!bytes) return {};
        std::vector<uint32_t> words(count);
        for (uint32_t i = 0; i < count; ++i)
            words[i] = uint32_t((*bytes)[4 * i]) | uint32_t((*bytes)[4 * i + 1]) << 8 |
                       uint32_t((*bytes)[4 * i + 2]) << 16 | uint32_t((*bytes)[4 * i + 3]) << 24;
        return words;
    }

    static frontend::DiModule module;
    SessionOptions options;
    std::ostringstream out, err;
    std::unique_ptr<Session> session;
};
frontend::DiModule DebugSession::module;

TEST_F(DebugSession, BreakpointInComputeTableStopsWithCause4AndItsId) {
    FrontEnd([&] {
        RunToComputeTable();
        const uint64_t entry = Sym("compute_table").address;
        const auto status = session->QueryStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->cause, 4u);
        // A Thumb breakpoint sits at the instruction address plus one, and
        // its id is that address.
        EXPECT_EQ(status->breakpointId, entry + 1);
        EXPECT_TRUE(status->message.empty());
        EXPECT_EQ(session->ReadRegister(PcId()), entry);
        // The user knows it as breakpoint 1, and sees the instruction there.
        char line[96];
        std::snprintf(line, sizeof line, "breakpoint (cause 4), breakpoint 1 at 0x%08llx <compute_table>\n=> 0x%08llx",
                      static_cast<unsigned long long>(entry), static_cast<unsigned long long>(entry));
        EXPECT_NE(out.str().find(line), std::string::npos) << out.str();
    });
}

// The tools' simulated host has no observer: it gives call objects back and
// keeps none (a GDB server left running for hours must not keep one per
// target operation it ever made). A session runs on that bare host, and
// starting the tool's target attaches nothing to it.
TEST_F(DebugSession, TheToolsHostRunsASessionWithNoObserver) {
    ASSERT_EQ(host.SetObserver(nullptr), &probe);
    std::string error;
    const bool started = StartSimulatedTarget("SECOND", sim::DefaultBoard(), error);
    EXPECT_EQ(host.Observer(), nullptr) << "the tool's target attached an observer";
    if (started) {
        FrontEnd([&] {
            StartFirmware();
            for (int i = 0; i < 50; ++i) ASSERT_EQ(ReadWords(Addr("table"), 4).size(), 4u);
        });
    }
    host.SetObserver(&probe);
    ASSERT_TRUE(started) << error;
}

TEST_F(DebugSession, TableReadAfterTheFunctionReturnsIsTheFirmwaresFormula) {
    FrontEnd([&] {
        RunToComputeTable();
        const uint64_t table = Sym("table").address;
        EXPECT_EQ(ReadWords(table, 16), std::vector<uint32_t>(16, 0)) << "not computed yet at the breakpoint";

        ASSERT_TRUE(session->Finish()) << out.str();
        const auto status = session->QueryStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->cause, 4u) << "stopped at the return-site breakpoint";
        const auto pc = session->ReadRegister(PcId());
        ASSERT_TRUE(pc);
        const Symbol main = Sym("main");
        EXPECT_TRUE(*pc > main.address && *pc < main.address + main.size) << std::hex << *pc;

        std::vector<uint32_t> expected(16);
        for (uint32_t i = 0; i < 16; ++i) expected[i] = TableEntry(i);
        EXPECT_EQ(ReadWords(table, 16), expected);
    });
}

TEST_F(DebugSession, SingleStepsAdvanceThePcByTheInstructionSizes) {
    FrontEnd([&] {
        RunToComputeTable();
        const uint64_t start = *session->ReadRegister(PcId());
        // The straight run of instructions from here, decoded from memory.
        const auto code = session->ReadMemory(start, 64);
        ASSERT_TRUE(code);
        std::vector<uint32_t> sizes;
        for (std::size_t at = 0; at + 4 <= code->size();) {
            const uint16_t first = uint16_t((*code)[at] | (*code)[at + 1] << 8);
            const uint16_t second = uint16_t((*code)[at + 2] | (*code)[at + 3] << 8);
            if (MayBranch(first, second)) break;
            sizes.push_back(ThumbSize(first));
            at += sizes.back();
        }
        ASSERT_GE(sizes.size(), 5u);
        ASSERT_NE(std::count(sizes.begin(), sizes.end(), 2u), 0) << "the run has 16-bit instructions";
        ASSERT_NE(std::count(sizes.begin(), sizes.end(), 4u), 0) << "the run has 32-bit instructions";

        // Three instructions in one step, then one at a time.
        ASSERT_TRUE(session->Step(3)) << out.str();
        uint64_t expected = start + sizes[0] + sizes[1] + sizes[2];
        EXPECT_EQ(session->ReadRegister(PcId()), expected);
        for (std::size_t i = 3; i < sizes.size(); ++i) {
            ASSERT_TRUE(session->Step(1)) << out.str();
            expected += sizes[i];
            EXPECT_EQ(session->ReadRegister(PcId()), expected) << "after instruction " << i;
        }
        const auto status = session->QueryStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->cause, 1u);
    });
}

// The front-end's other thread cancels while DiExecContinue waits on the
// firmware's endless loop. The cancel comes once the loop has run: the core
// runs on a thread of its own, and on a busy machine the first polls may
// still find it in the start-up code.
TEST_F(DebugSession, CancelledContinueReturns7WhileTheCoreKeepsRunning) {
    std::mutex lock;
    std::condition_variable changed;
    bool looping = false, returned = false;
    uint64_t loopCount = 0;
    session->onPoll = [&] {
        // On the waiting thread, through the module, as a front-end may.
        const auto count = ReadWords(loopCount, 1);
        if (count.empty() || count[0] == 0) return;
        std::lock_guard<std::mutex> guard(lock);
        looping = true;
        changed.notify_all();
    };
    FrontEnd([&] {
        StartFirmware();
        loopCount = Sym("loop_count").address;
        std::thread canceller([&] {
            std::unique_lock<std::mutex> guard(lock);
            // Bounded: a continue that returns at once, or a loop that never
            // runs, fails the test instead of hanging it.
            if (!changed.wait_for(guard, std::chrono::seconds(30), [&] { return looping || returned; }))
                ADD_FAILURE() << "the firmware's loop did not run within 30 s";
            guard.unlock();
            EXPECT_EQ(module.DiGdiCancel(), 0u);
        });
        EXPECT_EQ(module.DiExecContinue(), 7u);
        {
            std::lock_guard<std::mutex> guard(lock);
            returned = true;
            changed.notify_all();
        }
        canceller.join();
        session->onPoll = nullptr;

        const auto running = session->QueryStatus();
        ASSERT_TRUE(running);
        EXPECT_EQ(running->cause, 0u) << "still running after the cancel";

        ASSERT_TRUE(session->Stop()) << out.str();
        const auto halted = session->QueryStatus();
        ASSERT_TRUE(halted);
        EXPECT_EQ(halted->cause, 128u);
        const Symbol main = Sym("main");
        const auto pc = session->ReadRegister(PcId());
        ASSERT_TRUE(pc);
        EXPECT_TRUE(*pc >= main.address && *pc < main.address + main.size) << "in main's loop: " << std::hex << *pc;
        EXPECT_NE(ReadWords(Sym("loop_count").address, 1), std::vector<uint32_t>{0}) << "the loop ran";
    });
}

// Ctrl-C during `continue`: the signal handler only raises a flag, the poll
// callback turns it into DiGdiCancel, and the session halts the processor
// and shows where it is, as a debugger does; it is not an error.
TEST_F(DebugSession, InterruptDuringContinueHaltsTheProcessor) {
    struct sigaction before {};
    sigaction(SIGINT, nullptr, &before);
    session->onPoll = [] { raise(SIGINT); };
    FrontEnd([&] {
        StartFirmware();
        EXPECT_TRUE(session->Continue()) << err.str();
        session->onPoll = nullptr;
        EXPECT_TRUE(session->TakeInterrupted());
        EXPECT_NE(out.str().find("interrupted: the processor is halted\nstatus: halted (cause 128)\n=> 0x"),
                  std::string::npos)
            << out.str();
        EXPECT_EQ(err.str(), "");
        const auto status = session->QueryStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->cause, 128u) << "halted, not running";
    });
    // Outside a run, SIGINT has its earlier meaning again.
    struct sigaction after {};
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// A run that does not stop within the time-out is cancelled and halted, and
// fails; the firmware ends in an endless loop.
TEST_F(DebugSession, RunsLongerThanTheTimeoutAreHaltedAndFail) {
    options.timeoutSeconds = 0.2;
    session = std::make_unique<Session>(module, out, err, options);
    FrontEnd([&] {
        StartFirmware();
        EXPECT_FALSE(session->Continue());
        EXPECT_NE(err.str().find("error: continue did not stop within 0.2 s (--timeout): the run was cancelled and the "
                                 "processor halted"),
                  std::string::npos)
            << err.str();
        const auto status = session->QueryStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->cause, 128u);
        const auto pc = session->ReadRegister(PcId());
        const Symbol main = Sym("main");
        ASSERT_TRUE(pc);
        EXPECT_TRUE(*pc >= main.address && *pc < main.address + main.size) << "in main's loop: " << std::hex << *pc;
    });
}

TEST_F(DebugSession, WritesReachTheTargetAndReadBack) {
    FrontEnd([&] {
        StartFirmware();
        const uint64_t table = Sym("table").address;
        const std::vector<uint8_t> bytes = {0x4F, 0x52, 0x58, 0x00, 0xFF};
        ASSERT_TRUE(session->WriteMemory({static_cast<uint32_t>(table + 3), ""}, bytes)) << out.str();
        EXPECT_EQ(session->ReadMemory(table + 3, 5), bytes);
        EXPECT_EQ(session->ReadMemory(table, 3), (std::vector<uint8_t>{0, 0, 0})) << "nothing written before";

        ASSERT_TRUE(session->WriteRegister(*RegisterIdFor("r7"), 0xCAFEF00D)) << out.str();
        EXPECT_EQ(session->ReadRegister(7), 0xCAFEF00Du);
    });
}

// A read longer than the memory space hands out in one transfer arrives whole.
TEST_F(DebugSession, LongReadsAreCompletedAcrossShortTransfers) {
    FrontEnd([&] {
        StartFirmware();
        std::vector<uint8_t> pattern(700);
        for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 13 + 5);
        ASSERT_TRUE(session->WriteMemory({0x20001000, ""}, pattern)) << out.str();
        EXPECT_EQ(session->ReadMemory(0x20001000, 700), pattern);
    });
}

struct FailingLine {
    bool open;
    const char* line;
    const char* expected;
};

class FailingCommands : public DebugSession, public ::testing::WithParamInterface<FailingLine> {};

// Results other than 0 are shown with their names and the session goes on.
TEST_P(FailingCommands, ShowTheResultByName) {
    const FailingLine& c = GetParam();
    FrontEnd([&] {
        if (c.open) {
            ASSERT_TRUE(session->Open(std::nullopt, std::nullopt));
        }
        Interpreter interpreter(*session);
        EXPECT_FALSE(interpreter.RunLine(c.line));
        EXPECT_NE(err.str().find(c.expected), std::string::npos) << err.str();
        EXPECT_EQ(out.str().find("100000000"), std::string::npos) << out.str();
    });
}

INSTANTIATE_TEST_SUITE_P(
    DebugSession, FailingCommands,
    ::testing::Values(
        FailingLine{false, "close", "error: DiGdiClose returned GdiFailed (7)"},
        FailingLine{true, "delete 1", "error: no breakpoint number 1 (see 'info break')"},
        // Addresses are 32-bit: a range past 0xffffffff is refused, not labelled 0x100000000.
        FailingLine{true, "mem 0xFFFFFFF0 64", "error: 64 bytes from 0xfffffff0 run past the end of the 32-bit"},
        FailingLine{true, "x/2xw 0xFFFFFFFC", "error: 8 bytes from 0xfffffffc run past the end of the 32-bit"},
        FailingLine{true, "dump /dev/null 0xFFFFFFFF 2", "error: 2 bytes from 0xffffffff run past the end"},
        FailingLine{true, "write mem 0xFFFFFFFF 1 2", "error: 2 bytes from 0xffffffff run past the end"}));

// The README's first command: the built-in demo, through the interpreter.
TEST_F(DebugSession, DemoShowsTheComputedTable) {
    FrontEnd([&] {
        Interpreter interpreter(*session);
        std::istringstream script(DemoScript(DIORX_FIRMWARE_ELF));
        EXPECT_EQ(interpreter.Run(script, false, true), 0) << out.str();
    });
    const std::string text = out.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_NE(text.find("status: breakpoint (cause 4)"), std::string::npos) << text;
    std::size_t at = text.find("table: 16 words");
    ASSERT_NE(at, std::string::npos) << text;
    for (uint32_t i = 0; i < 16; ++i) {
        char value[16];
        std::snprintf(value, sizeof value, "0x%08x", TableEntry(i));
        at = text.find(value, at);
        EXPECT_NE(at, std::string::npos) << "table[" << i << "] = " << value << " in order\n" << text;
    }
    EXPECT_FALSE(session->IsOpen()) << "the demo closes its session";
}

// open sends the maps and checks that the processor answers: a designator
// that names no processor fails there, and leaves no session open.
TEST_F(DebugSession, OpenChecksThatTheProcessorAnswers) {
    FrontEnd([&] {
        EXPECT_FALSE(session->Open(std::nullopt, std::string("NOSUCHCPU")));
        EXPECT_FALSE(session->IsOpen());
        EXPECT_NE(err.str().find("error: processor 'NOSUCHCPU' does not answer"), std::string::npos) << err.str();

        ASSERT_TRUE(session->Open(std::nullopt, std::string(kDesignator))) << err.str();
        // No 'maps' needed: the registers read and memory writes at once.
        EXPECT_TRUE(session->ReadRegister(PcId()).has_value()) << err.str();
        EXPECT_TRUE(session->WriteMemory({0x20000100, ""}, {1, 2, 3})) << err.str();
        EXPECT_EQ(session->ReadMemory(0x20000100, 3), (std::vector<uint8_t>{1, 2, 3}));
    });
}

// As a debugger's load does, load starts the program at its entry point:
// load, break main, continue stops in main without a reset.
TEST_F(DebugSession, LoadSetsThePcToTheEntryPoint) {
    FrontEnd([&] {
        ASSERT_TRUE(session->Open(std::nullopt, std::nullopt)) << err.str();
        ASSERT_TRUE(session->Load(DIORX_FIRMWARE_ELF)) << err.str();
        EXPECT_EQ(session->ReadRegister(PcId()), Sym("Reset_Handler").address);
        ASSERT_TRUE(session->Break({Addr("main"), "main"})) << err.str();
        ASSERT_TRUE(session->Continue()) << err.str();
        const auto status = session->QueryStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->cause, 4u);
        EXPECT_EQ(session->ReadRegister(PcId()), Sym("main").address);
    });
}

// Breakpoints are numbered from 1; info break lists number, address, hits
// and symbol; delete takes the number.
TEST_F(DebugSession, BreakpointsAreNumberedListedAndDeletedByNumber) {
    FrontEnd([&] {
        StartFirmware();
        const uint64_t compute = Sym("compute_table").address;
        ASSERT_TRUE(session->Break({Addr("main"), "main"})) << err.str();
        ASSERT_TRUE(session->Break({static_cast<uint32_t>(compute), "compute_table"})) << err.str();
        ASSERT_TRUE(session->Break({static_cast<uint32_t>(compute), ""})) << err.str();  // the same place
        ASSERT_EQ(session->Breakpoints().size(), 2u);
        ASSERT_TRUE(session->Continue()) << err.str();
        ASSERT_TRUE(session->Continue()) << err.str();
        EXPECT_NE(out.str().find("breakpoint 2 at " + session->DescribeAddress(static_cast<uint32_t>(compute))),
                  std::string::npos)
            << out.str();

        out.str("");
        ASSERT_TRUE(session->InfoBreakpoints());
        char rows[160];
        std::snprintf(rows, sizeof rows,
                      "Num  Address     Hits  What\n1    0x%08llx  1     main\n2    0x%08llx  1     compute_table\n",
                      static_cast<unsigned long long>(Sym("main").address), static_cast<unsigned long long>(compute));
        EXPECT_EQ(out.str(), rows);

        // The id the module gives breakpoint 2 (its address + 1) is not a number.
        Interpreter interpreter(*session);
        EXPECT_FALSE(interpreter.RunLine("delete " + std::to_string(compute + 1)));
        ASSERT_TRUE(interpreter.RunLine("delete 1")) << err.str();
        ASSERT_EQ(session->Breakpoints().size(), 1u);
        EXPECT_EQ(session->Breakpoints().front().number, 2u);
        ASSERT_TRUE(session->Break({Addr("main"), "main"})) << err.str();
        EXPECT_EQ(session->Breakpoints().back().number, 3u) << "numbers are not reused";
        ASSERT_TRUE(interpreter.RunLine("delete")) << err.str();
        EXPECT_TRUE(session->Breakpoints().empty());
    });
}

// Memory in 8-, 16- and 32-bit units, a dump to a file, and disassembly.
TEST_F(DebugSession, ExamineDumpAndDisassembleShowTheTarget) {
    const std::string file = ::testing::TempDir() + "orxdbg_dump.bin";
    FrontEnd([&] {
        StartFirmware();
        ASSERT_TRUE(session->WriteMemory({0x20001000, ""}, {0x01, 0x82, 0x03, 0x84, 0x05, 0x06, 0x07, 0x88})) << err.str();
        Interpreter interpreter(*session);
        out.str("");
        ASSERT_TRUE(interpreter.RunLine("x/2xw 0x20001000")) << err.str();
        ASSERT_TRUE(interpreter.RunLine("x/4xh 0x20001000")) << err.str();
        ASSERT_TRUE(interpreter.RunLine("x/3db 0x20001000")) << err.str();
        ASSERT_TRUE(interpreter.RunLine("x/2uh 0x20001000")) << err.str();
        EXPECT_EQ(out.str(),
                  "0x20001000:\t0x84038201\t0x88070605\n"
                  "0x20001000:\t0x8201\t0x8403\t0x0605\t0x8807\n"
                  "0x20001000:\t1\t-126\t3\n"
                  "0x20001000:\t33281\t33795\n");

        ASSERT_TRUE(interpreter.RunLine("dump " + file + " 0x20001001 6")) << err.str();
        std::ifstream in(file, std::ios::binary);
        const std::string dumped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(dumped, std::string("\x82\x03\x84\x05\x06\x07"));

        out.str("");
        ASSERT_TRUE(interpreter.RunLine("disassemble compute_table 3")) << err.str();
        const std::string text = out.str();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
        EXPECT_NE(text.find(session->DescribeAddress(static_cast<uint32_t>(Sym("compute_table").address)) + ":\t"),
                  std::string::npos)
            << text;
        out.str("");
        ASSERT_TRUE(interpreter.RunLine("disas")) << err.str();
        EXPECT_EQ(out.str().rfind("=> " + session->DescribeAddress(static_cast<uint32_t>(Sym("Reset_Handler").address)) +
                                      ":\tpush",
                                  0),
                  0u)
            << "from the pc, marked: " << out.str();
    });
    std::remove(file.c_str());
}

TEST_F(DebugSession, RegistersShowTheXpsrDecodedAndAnswerToR15) {
    FrontEnd([&] {
        StartFirmware();
        Interpreter interpreter(*session);
        out.str("");
        ASSERT_TRUE(interpreter.RunLine("i r")) << err.str();
        EXPECT_NE(out.str().find("xpsr [ T ] exception 0 (thread mode)"), std::string::npos) << out.str();
        out.str("");
        ASSERT_TRUE(interpreter.RunLine("i r r15")) << err.str();
        EXPECT_EQ(out.str().rfind("PC 0x", 0), 0u) << out.str();
        EXPECT_NE(out.str().find("<Reset_Handler>"), std::string::npos) << out.str();
    });
}

// The bus ends where memory ends: an access beyond fails, and the tool names
// the address the target refused. A download is not dropped in silence.
TEST_F(DebugSession, RefusedAccessesNameTheAddress) {
    // Eight bytes from 0x3fffc: the last four lie past the 256 KiB of flash.
    const std::string hex = ::testing::TempDir() + "orxdbg_past_flash.hex";
    std::ofstream(hex) << ":020000040003F7\n:08FFFC000102030405060708D9\n:00000001FF\n";
    struct Case {
        std::string line;
        std::string expected;
    };
    const Case cases[] = {
        {"write mem 0x40000000 7", "error: DiMemoryWrite returned GdiFailed (7): the target refused a write at 0x40000000"},
        {"write mem 0x2000FFFE 1 2 3", "the target refused a write at 0x20010000"},
        {"mem 0x3FFF0 32", "error: the target refused a read at 0x00040000"},
        {"x/2xw 0x1FFFFFFC", "error: the target refused a read at 0x1ffffffc"},
        {"load " + hex, "error: load: the target refused address 0x00040000 of the segment 0x0003fffc..0x00040003"},
    };
    FrontEnd([&] {
        ASSERT_TRUE(session->Open(std::nullopt, std::nullopt)) << err.str();
        Interpreter interpreter(*session);
        for (const Case& c : cases) {
            err.str("");
            EXPECT_FALSE(interpreter.RunLine(c.line)) << c.line;
            EXPECT_NE(err.str().find(c.expected), std::string::npos) << c.line << "\n" << err.str();
        }
        // The part of the write before the refused address is not claimed as written.
        EXPECT_EQ(out.str().find("wrote"), std::string::npos) << out.str();
        EXPECT_EQ(out.str().find("loaded"), std::string::npos) << out.str();
    });
    std::remove(hex.c_str());
}

}  // namespace
