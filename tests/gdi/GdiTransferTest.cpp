// Memory, register and breakpoint transfer through the exported functions,
// with records passed by value.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <vector>

#include "gdi/GDI.h"
#include "tests/support/GdiCalls.h"

using namespace gdi;
using namespace gditest;
using sim::E_FAIL;
using Bytes8 = std::array<uint8_t, 8>;

namespace {

constexpr int32_t DataIndex = 0;  // the host's memory-space indexes
constexpr int32_t CodeIndex = 1;

class GdiTransfer : public GdiSessionTest {
protected:
    void SetUp() override {
        GdiSessionTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        cpu = AddCpu();
        cpu->SetState(sim::ScriptedProcessor::State::Halted);
        OpenSession();
    }

    // Arguments of the logged calls of a method: {space index, buffer,
    // address, count} for block transfers.
    std::vector<std::vector<uint64_t>> Calls(const char* method) { return CallsOf(probe, method); }

    std::shared_ptr<sim::ScriptedProcessor> cpu;
};

// ---- Memory read ------------------------------------------------------------------

TEST_F(GdiTransfer, MemoryReadSpreadsEachWordAndMarksWhatTheHostDidNotDeliver) {
    cpu->Space(DataIndex).transferLimit = 2;
    const uint32_t words[] = {0x01020304, 0xA0B0C0D0, 0x55, 0x66};
    for (int i = 0; i < 4; ++i) cpu->SetWord(DataIndex, 0x40 + i, words[i]);
    GdiValue values[5];
    for (auto& v : values) v = Filled(0xCC);

    FrontEnd([&] { EXPECT_EQ(DiMemoryRead(Address(IdData, 0x40), values, 4), GdiOk); });

    ASSERT_EQ(Calls("INexusMemorySpace::ReadBlock").size(), 1u);
    EXPECT_EQ(Calls("INexusMemorySpace::ReadBlock")[0].at(3), 2u) << "bounded by the transfer limit";
    const struct {
        Bytes8 bytes;
        uint32_t status;
    } expected[] = {
        {{0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04}, ValueValid},
        {{0, 0, 0, 0, 0xA0, 0xB0, 0xC0, 0xD0}, ValueValid},
        {{0, 0, 0, 0, 0, 0, 0, 0}, MemoryNotRead},
        {{0, 0, 0, 0, 0, 0, 0, 0}, MemoryNotRead},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(BytesOf(values[i]), expected[i].bytes);
        EXPECT_EQ(StatusOf(values[i]), expected[i].status);
    }
    EXPECT_EQ(BytesOf(values[4]), (Bytes8{0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC})) << "beyond the count";
    EXPECT_EQ(StatusOf(values[4]), 0xCCCCCCCCu);
}

TEST_F(GdiTransfer, FailedMemoryReadMarksEveryValueAndKeepsItsUpperBytes) {
    GdiValue values[3];
    for (auto& v : values) v = Filled(0xCC);
    FrontEnd([&] { EXPECT_EQ(DiMemoryRead(Address(9, 0x40), values, 3), GdiOk) << "failure is told per value"; });
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(BytesOf(values[i]), (Bytes8{0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFF}));
        EXPECT_EQ(StatusOf(values[i]), uint32_t(MemoryNotRead));
    }
    EXPECT_TRUE(Calls("INexusMemorySpace::ReadBlock").empty());
}

TEST_F(GdiTransfer, MemoryReadOfNoValuesStillAsksTheHost) {
    FrontEnd([&] { EXPECT_EQ(DiMemoryRead(Address(IdData, 0x40), nullptr, 0), GdiOk); });
    ASSERT_EQ(Calls("INexusMemorySpace::ReadBlock").size(), 1u);
    EXPECT_EQ(Calls("INexusMemorySpace::ReadBlock")[0].at(3), 0u);
}

// Reads, writes and download blocks go to the space the address names, but
// always to space 0 on the ARM family; the full 64-bit address reaches the
// host.
TEST_F(GdiTransfer, MemorySpaceAndAddressReachTheHost) {
    const uint64_t address = 0x0000000100000010ull;
    const struct {
        const char* path;
        int32_t hostIndex;
    } families[] = {{Lx32Path, CodeIndex}, {ArmPath, DataIndex}};
    const struct {
        const char* name;
        const char* hostMethod;
        std::function<uint32_t()> call;
    } operations[] = {
        {"read", "INexusMemorySpace::ReadBlock",
         [&] {
             GdiValue v;
             return DiMemoryRead(Address(3, address), &v, 1);
         }},
        {"write", "INexusMemorySpace::WriteBlock",
         [&] {
             const GdiValue v = Value({0, 0, 0, 0, 0, 0, 0, 1});
             return DiMemoryWrite(Address(3, address), &v, 1);
         }},
        {"download block", "INexusMemorySpace::WriteBlock",
         [&] {
             const uint8_t data[] = {1};
             return MemoryDownload(1, Format(1, 3, address), data);
         }},
    };
    for (const auto& family : families) {
        const char* argv[] = {family.path, "CPU"};
        ASSERT_EQ(DiGdiOpen(0, 0, 2, argv, nullptr), GdiOk);
        GdiMapEntry spaces[] = {Entry("DATA", 0), Entry("CODE", 3)};
        ASSERT_EQ(DiGdiInitMemorySpaceMap(2, spaces), GdiOk);
        for (const auto& op : operations) {
            SCOPED_TRACE(testing::Message() << family.path << " " << op.name);
            probe.Log().Clear();
            FrontEnd([&] { EXPECT_EQ(op.call(), GdiOk); });
            const auto calls = Calls(op.hostMethod);
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].at(0), uint64_t(family.hostIndex));
            EXPECT_EQ(calls[0].at(2), address);
        }
    }
}

// ---- Memory write --------------------------------------------------------------------

TEST_F(GdiTransfer, MemoryWriteTakesBytesFourToSevenAsOneWord) {
    const GdiValue values[] = {
        Value({0xFF, 0xEE, 0xDD, 0xCC, 0x01, 0x02, 0x03, 0x04}, 0xFFFFFFFF),
        Value({0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF}, 0xFFFFFFFF),
    };
    GdiValue copy[2];
    std::memcpy(copy, values, sizeof copy);

    FrontEnd([&] { EXPECT_EQ(DiMemoryWrite(Address(IdCode, 0x80), values, 2), GdiOk); });

    EXPECT_EQ(cpu->Word(CodeIndex, 0x80), 0x01020304u);
    EXPECT_EQ(cpu->Word(CodeIndex, 0x81), 0xDEADBEEFu);
    EXPECT_EQ(std::memcmp(copy, values, sizeof copy), 0) << "no status is written back";
}

TEST_F(GdiTransfer, MemoryWriteFailures) {
    const GdiValue value = Value({0, 0, 0, 0, 0, 0, 0, 1});
    FrontEnd([&] {
        EXPECT_EQ(DiMemoryWrite(Address(9, 0x80), &value, 1), GdiFailed) << "unknown memory space";
        probe.Log().Clear();
        EXPECT_EQ(DiMemoryWrite(Address(IdCode, 0x80), &value, 0xFFFFFFFF), GdiFailed) << "negative count";
        EXPECT_TRUE(probe.Log().Calls().empty()) << "a negative count reaches no target";
    });
}

// ---- Transfers beyond 16-bit indexes and the transfer buffer ------------------------------

TEST_F(GdiTransfer, MemoryTransfersBeyond65536ValuesAreCarriedOutInFull) {
    const int32_t bigIndex = cpu->AddMemorySpace("BIG", 0xFFFFFFFF);
    GdiMapEntry spaces[] = {Entry("BIG", 7)};
    ASSERT_EQ(DiGdiInitMemorySpaceMap(1, spaces), GdiOk);
    constexpr uint32_t count = 65536 + 4;
    std::vector<GdiValue> values(count);
    for (uint32_t i = 0; i < count; ++i)
        values[i] = Value({0, 0, 0, 0, 0xAB, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)});

    FrontEnd([&] { EXPECT_EQ(DiMemoryWrite(Address(7, 0), values.data(), count), GdiOk); });
    for (uint32_t i : {0u, 3u, 65535u, 65536u, 65539u}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cpu->Word(bigIndex, i), 0xAB000000u | i);
    }

    std::vector<GdiValue> back(count, Filled(0xCC));
    FrontEnd([&] { EXPECT_EQ(DiMemoryRead(Address(7, 0), back.data(), count), GdiOk); });
    for (uint32_t i = 0; i < count; ++i) {
        if (StatusOf(back[i]) != ValueValid || GatherWord(back[i]) != (0xAB000000u | i)) {
            ADD_FAILURE() << "value " << i << " reads back as " << std::hex << GatherWord(back[i]) << " status "
                          << StatusOf(back[i]);
            break;
        }
    }
}

TEST_F(GdiTransfer, DownloadBlocksLargerThanTheTransferBufferGoOutInPieces) {
    std::vector<uint8_t> data(2500);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);

    FrontEnd([&] { EXPECT_EQ(MemoryDownload(1, Format(2500, IdCode, 0x10000), data.data()), GdiOk); });

    const auto blocks = Calls("INexusMemorySpace::WriteBlock");
    ASSERT_EQ(blocks.size(), 3u);
    const uint64_t starts[] = {0x10000, 0x10000 + 1024, 0x10000 + 2048};
    const uint64_t counts[] = {1024, 1024, 452};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(blocks[k].at(2), starts[k]);
        EXPECT_EQ(blocks[k].at(3), counts[k]);
    }
    for (uint32_t i = 0; i < 2500; ++i)
        if (cpu->Word(CodeIndex, 0x10000 + i) != data[i]) {
            ADD_FAILURE() << "byte " << i << " did not arrive";
            break;
        }
    EXPECT_EQ(cpu->Word(CodeIndex, 0x10000 + 2500), 0u);
}

// ---- Download -------------------------------------------------------------------------------

TEST_F(GdiTransfer, DownloadStepCodesSelectTheOperation) {
    const struct {
        const char* name;
        uint32_t step;
        uint32_t spaceId;
        bool hostAnswer;  // the memory space's BeginDownload and EndDownload
        uint32_t result;
        std::size_t begins;
        std::size_t ends;
    } cases[] = {
        {"start", 0, IdCode, true, GdiOk, 1, 0},
        {"start refused", 0, IdCode, false, GdiDownloadFailed, 1, 0},
        {"start in an unknown space", 0, 9, true, GdiDownloadFailed, 0, 0},
        {"finish", 2, IdCode, true, GdiOk, 0, 1},
        {"finish refused", 2, IdCode, false, GdiDownloadFailed, 0, 1},
        {"stop", 3, IdCode, true, GdiOk, 0, 1},
        {"stop refused", 3, IdCode, false, GdiDownloadFailed, 0, 1},
        {"step 4", 4, IdCode, true, GdiDownloadFailed, 0, 0},
        {"step 0xFFFFFFFF", 0xFFFFFFFF, IdCode, true, GdiDownloadFailed, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->Space(CodeIndex).beginDownloadAnswer = c.hostAnswer;
        cpu->Space(CodeIndex).endDownloadAnswer = c.hostAnswer;
        probe.Log().Clear();
        const uint8_t data[] = {0xAA};
        FrontEnd([&] { EXPECT_EQ(MemoryDownload(c.step, Format(1, c.spaceId, 0x300), data), c.result); });
        const auto begins = Calls("INexusMemorySpace::BeginDownload");
        const auto ends = Calls("INexusMemorySpace::EndDownload");
        EXPECT_EQ(begins.size(), c.begins);
        EXPECT_EQ(ends.size(), c.ends);
        for (const auto& call : begins) EXPECT_EQ(call.at(0), uint64_t(CodeIndex));
        for (const auto& call : ends) EXPECT_EQ(call.at(0), uint64_t(CodeIndex));
        EXPECT_TRUE(Calls("INexusMemorySpace::WriteBlock").empty()) << "only step 1 writes";
        if (c.step > 3) {
            EXPECT_TRUE(probe.Log().Calls().empty()) << "an unknown step calls nothing";
        }
    }
}

TEST_F(GdiTransfer, DownloadBlockPutsOneByteInEachWord) {
    const struct {
        const char* name;
        uint32_t byteCount;
        uint32_t spaceId;
        uint32_t result;
        uint64_t hostCount;  // of the one block handed to the host
        std::vector<uint32_t> words;
    } cases[] = {
        {"three bytes", 3, IdCode, GdiOk, 3, {170, 187, 204, 0}},
        {"exactly the transfer buffer", 1024, IdCode, GdiOk, 1024, {170, 187, 204, 0xDD}},
        {"no bytes", 0, IdCode, GdiOk, 0, {0, 0, 0, 0}},
        {"negative count", 0xFFFFFFFF, IdCode, GdiOk, 0, {0, 0, 0, 0}},
        {"unknown space", 3, 9, GdiDownloadFailed, 0, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->Space(CodeIndex).words.clear();
        probe.Log().Clear();
        std::vector<uint8_t> data(1100, 0xDD);
        data[0] = 0xAA;
        data[1] = 0xBB;
        data[2] = 0xCC;

        FrontEnd([&] { EXPECT_EQ(MemoryDownload(1, Format(c.byteCount, c.spaceId, 0x300), data.data()), c.result); });

        const auto blocks = Calls("INexusMemorySpace::WriteBlock");
        if (c.result == GdiOk) {
            ASSERT_EQ(blocks.size(), 1u);
            EXPECT_EQ(blocks[0].at(2), 0x300u);
            EXPECT_EQ(blocks[0].at(3), c.hostCount);
        } else {
            EXPECT_TRUE(blocks.empty());
        }
        for (uint32_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(cpu->Word(CodeIndex, 0x300 + i), c.words[i]) << i;
    }
}

// ---- Registers --------------------------------------------------------------------------------

TEST_F(GdiTransfer, RegisterReadDeliversTheWordOrStatus3) {
    cpu->WriteRegister(1, 258);  // R0
    cpu->SetPc(0xFFFFFFFF);
    const struct {
        int32_t id;
        Bytes8 bytes;
        uint32_t status;
    } cases[] = {
        {IdR0, {0, 0, 0, 0, 0, 0, 0x01, 0x02}, ValueValid},
        {IdPc, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, ValueValid},
        {-1, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, ValueValid},
        {99, {0, 0, 0, 0, 0, 0, 0, 0}, RegisterNotRead},
    };
    FrontEnd([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.id);
            GdiValue value = Filled(0xCC);
            EXPECT_EQ(DiRegisterRead(c.id, &value), GdiOk);
            EXPECT_EQ(BytesOf(value), c.bytes);
            EXPECT_EQ(StatusOf(value), c.status);
        }
    });
}

TEST_F(GdiTransfer, RegisterWriteTakesBytesFourToSevenAndReportsAWriteThatDidNotHappen) {
    const Bytes8 bytes = {0xFF, 0xEE, 0xDD, 0xCC, 0x12, 0x34, 0x56, 0x78};
    const struct {
        const char* name;
        int32_t id;
        const char* fault;
        uint32_t result;
        int32_t index;  // the processor's register that must hold the word, or keep its value
        uint32_t before;
    } cases[] = {
        {"mapped register", IdR1, nullptr, GdiOk, 2, 0x22},
        {"the program counter by its id", IdPc, nullptr, GdiOk, 0, 0x100},
        {"the program counter as -1", -1, nullptr, GdiOk, 0, 0x100},
        {"id not in the map", 99, nullptr, GdiFailed, 2, 0x22},
        {"the host's write fails", IdR1, "INexusRegister::WriteValue", GdiFailed, 2, 0x22},
        {"the register cannot be looked up", IdR0, "INexusProcessor::GetRegister", GdiFailed, 1, 0x11},
        {"no workspace", -1, "GetNexusWorkspace", GdiFailed, 0, 0x100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->WriteRegister(c.index, c.before);
        if (c.fault) probe.InjectFault(c.fault, E_FAIL);
        FrontEnd([&] { EXPECT_EQ(DiRegisterWrite(c.id, Value(bytes, 0xFFFFFFFF)), c.result); });
        probe.ClearFaults();
        EXPECT_EQ(cpu->ReadRegister(c.index), c.result == GdiOk ? 0x12345678u : c.before);
    }
}

// ---- Breakpoints --------------------------------------------------------------------------------

TEST_F(GdiTransfer, BreakpointSetPlacesOrReusesABreakpoint) {
    const struct {
        const char* name;
        const char* path;
        uint32_t kind;
        uint32_t qualifier;
        uint64_t address;
        std::vector<uint64_t> existing;
        bool breakpointSpace;
        uint32_t result;
        uint32_t id;
        std::set<uint64_t> after;
    } cases[] = {
        {"new", Lx32Path, 1, 0, 0x200, {}, true, GdiOk, 0x200, {0x200}},
        {"already there", Lx32Path, 1, 0, 0x200, {0x200}, true, GdiOk, 0x200, {0x200}},
        {"above 4 GiB", Lx32Path, 1, 0, 0x100000010ull, {}, true, GdiOk, 0x10, {0x100000010ull}},
        {"kind 2", Lx32Path, 2, 0, 0x200, {}, true, GdiFailed, 0, {}},
        {"kind 0", Lx32Path, 0, 0, 0x200, {}, true, GdiFailed, 0, {}},
        {"no breakpoint space", Lx32Path, 1, 0, 0x200, {}, false, GdiFailed, 0, {}},
        {"qualifier 2 off ARM", Lx32Path, 1, 2, 0x200, {}, true, GdiOk, 0x200, {0x200}},
        {"ARM qualifier 1", ArmPath, 1, 1, 0x200, {}, true, GdiOk, 0x200, {0x200}},
        {"ARM qualifier 2", ArmPath, 1, 2, 0x200, {}, true, GdiOk, 0x201, {0x201}},
        {"ARM qualifier 2 carries", ArmPath, 1, 2, 0xFFFFFFFF, {}, true, GdiOk, 0, {0x100000000ull}},
        {"ARM qualifier 2 reuses", ArmPath, 1, 2, 0x200, {0x201}, true, GdiOk, 0x201, {0x201}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cpu->RemoveAllBreakpoints();
        for (uint64_t a : c.existing) cpu->AddBreakpoint(7, a);
        cpu->SetBreakpointSpace(c.breakpointSpace ? std::optional<uint32_t>(7) : std::nullopt);
        const char* argv[] = {c.path, "CPU"};
        ASSERT_EQ(DiGdiOpen(0, 0, 2, argv, nullptr), GdiOk);
        probe.Log().Clear();
        GdiBreakpointResult result;
        std::memset(&result, 0xAB, sizeof result);

        // The location's memory-space id plays no part.
        FrontEnd([&] {
            EXPECT_EQ(DiBreakpointSet(&result, Breakpoint(c.kind, c.address, c.qualifier, 0x99)), c.result);
        });

        EXPECT_EQ(LoadLE32(result.breakpointId), c.id);
        EXPECT_EQ(LoadLE32(result.resultWord), 4u);
        for (uint8_t b : result.notTouched) ASSERT_EQ(b, 0xAB);
        EXPECT_EQ(cpu->Breakpoints(), c.after);
        if (c.kind != 1) {
            EXPECT_TRUE(probe.Log().Calls().empty()) << "the target is not touched";
        }
        if (!c.existing.empty()) {
            EXPECT_EQ(probe.Log().Count("INexusProcessor::AddBreakpoint"), 0u) << "no second breakpoint";
        }
    }
}

TEST_F(GdiTransfer, BreakpointClearAndClearAll) {
    cpu->AddBreakpoint(7, 0x200);
    cpu->AddBreakpoint(7, 0x300);
    cpu->AddBreakpoint(7, 0x400);
    FrontEnd([&] {
        EXPECT_EQ(DiBreakpointClear(0x200), GdiOk);
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{0x300, 0x400}));
        EXPECT_EQ(DiBreakpointClear(0x200), GdiFailed) << "no breakpoint with that id";
        probe.InjectFault("INexusProcessor::RemoveAllBreakpoints", E_FAIL);
        EXPECT_EQ(DiBreakpointClearAll(), GdiFailed);
        probe.ClearFaults();
        EXPECT_EQ(DiBreakpointClearAll(), GdiOk);
    });
    EXPECT_TRUE(cpu->Breakpoints().empty());
}

// ---- Bad input ---------------------------------------------------------------------------------

TEST_F(GdiTransfer, NullPointersAreRefusedWithoutTouchingTheTarget) {
    const struct {
        const char* name;
        std::function<uint32_t()> call;
        uint32_t result;
    } cases[] = {
        {"DiMemoryRead", [] { return DiMemoryRead(Address(IdData, 0), nullptr, 2); }, GdiFailed},
        {"DiMemoryWrite", [] { return DiMemoryWrite(Address(IdData, 0), nullptr, 2); }, GdiFailed},
        // A download step fails with the download's own code.
        {"DiMemoryDownload", [] { return MemoryDownload(1, Format(4, IdCode, 0x300), nullptr); }, GdiDownloadFailed},
        {"DiRegisterRead", [] { return DiRegisterRead(IdR0, nullptr); }, GdiFailed},
        {"DiBreakpointSet", [] { return DiBreakpointSet(nullptr, Breakpoint(1, 0x200)); }, GdiFailed},
        {"DiExecGetStatus", [] { return DiExecGetStatus(nullptr); }, GdiFailed},
    };
    FrontEnd([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.call(), c.result);
        }
    });
    EXPECT_TRUE(probe.Log().Calls().empty());
    EXPECT_TRUE(cpu->Breakpoints().empty());
}

// An array that would run past the end of the address space is no array a
// caller can have: both transfers refuse its count before the host is asked
// and without touching the values (the pointer here is never dereferenced;
// the 32-bit product's guarded-page case is in the module's own tests).
TEST_F(GdiTransfer, ValueArraysPastTheEndOfTheAddressSpaceAreRefused) {
    const uintptr_t top = std::numeric_limits<uintptr_t>::max();
    const struct {
        const char* name;
        uintptr_t at;
        uint32_t count;
        bool fits;
    } cases[] = {
        {"three values in the last 36 bytes", top - 35, 3, true},
        {"four values in the last 36 bytes", top - 35, 4, false},
        {"one value in the last 11 bytes", top - 10, 1, false},
        {"no values anywhere", top - 10, 0, true},
        {"values at null", 0, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ValueArrayFits(reinterpret_cast<const GdiValue*>(c.at), c.count), c.fits);
    }
    auto* nearTop = reinterpret_cast<GdiValue*>(top - 35);
    FrontEnd([&] {
        EXPECT_EQ(DiMemoryRead(Address(IdData, 0), nearTop, 4), GdiFailed);
        EXPECT_EQ(DiMemoryWrite(Address(IdData, 0), nearTop, 4), GdiFailed);
        EXPECT_EQ(DiMemoryRead(Address(IdData, 0), nearTop, 0xFFFFFFFF), GdiFailed);
    });
    EXPECT_TRUE(probe.Log().Calls().empty()) << "the host was asked";
}

// A write stages every value it is given, so its buffer is as large as the
// count. (A read allocates only what the host reads.)
TEST_F(GdiTransfer, WriteCountWhoseBufferCannotBeHadFails) {
    // Only a 32-bit process is sure to be refused such a buffer.
    if (sizeof(void*) != 4) GTEST_SKIP() << "needs the 32-bit build";
    GdiValue values[2] = {Filled(0xCC), Filled(0xCC)};
    FrontEnd([&] { EXPECT_EQ(DiMemoryWrite(Address(IdData, 0), values, 0x7FFFFFFF), GdiFailed); });
    EXPECT_TRUE(Calls("INexusMemorySpace::WriteBlock").empty());
}

}  // namespace
