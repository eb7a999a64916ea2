// The binary contract of the built module: export names and ordinals, the
// fixed answers, and records passed by value the way a C front-end's
// compiler passes them (and, in the product, the stack slots they take).
#include <gtest/gtest.h>

#include <cstring>
#include <cctype>
#include <map>
#include <set>
#include <string_view>

#include "sim/ScriptedProcessor.h"
#include "tests/module/CFrontEnd.h"
#include "tests/support/ModuleLoader.h"
#include "tests/support/SimFixture.h"

using namespace diorx_test;

namespace {

class ModuleContract : public SimTest {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(module.Load(DIORX_MODULE_FILE, error)) << error;
    }
    static DiModule module;
};
DiModule ModuleContract::module;

TEST_F(ModuleContract, ExportDirectoryNamesTheModuleAndNumbersEveryFunction) {
    PeExports exports;
    std::string error;
    if (!ReadPeExports(ModulePath(DIORX_MODULE_FILE), exports, error)) {
        // A Windows build (32- or 64-bit) must have a readable export table.
        if (std::string_view(DIORX_MODULE_FILE).ends_with(".dll")) FAIL() << error;
        GTEST_SKIP() << "not a PE build: " << error;
    }
    // The module is built for the processor of the program that loads it.
    EXPECT_EQ(exports.machine, sizeof(void*) == 4 ? 0x14C : 0x8664);
    EXPECT_EQ(exports.dllName, "diORX");
    std::map<std::string, uint32_t> byName(exports.entries.begin(), exports.entries.end());
    ASSERT_EQ(exports.entries.size(), ExportNames.size());
    for (std::size_t row = 1; row <= ExportNames.size(); ++row) {
        SCOPED_TRACE(ExportNames[row - 1]);
        ASSERT_EQ(byName.count(ExportNames[row - 1]), 1u);
        EXPECT_EQ(byName[ExportNames[row - 1]], 62 - row);
    }
    for (const auto& [name, ordinal] : exports.entries) EXPECT_NE(ordinal, 1u) << name << " took ordinal 1";

    // The one file is all a user copies: it needs only libraries that every
    // Windows system has, no compiler runtime beside it.
    const std::set<std::string> system = {"KERNEL32.DLL", "MSVCRT.DLL", "OLEAUT32.DLL", "USER32.DLL", "ADVAPI32.DLL"};
    EXPECT_FALSE(exports.importedLibraries.empty());
    for (std::string library : exports.importedLibraries) {
        for (char& c : library) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(system.count(library), 1u) << library << " would have to ship beside the module";
    }
}

TEST_F(ModuleContract, FixedAnswersHoldWithAndWithoutAnInstanceWhateverIsPassed) {
    const std::map<std::string, uint32_t> fixedOk = {{"DiMemorySetMap", 0}, {"DiMemoryGetMap", 0}, {"DiMemorySetCpuMap", 0}};
    const std::vector<std::string> notSupported = {
        "DiGdiAddCallback", "DiGdiSynchronize", "DiDirectAddMenuItem", "DiDirectCommand", "DiDirectReadNoWait",
        "DiMemoryGetCpuMap", "DiRegisterClassCreate", "DiRegisterClassDelete", "DiRegisterClassWrite",
        "DiRegisterClassRead", "DiExecContinueUntil", "DiExecContinueBackground", "DiCommGetAcceptableSettings",
        "DiTraceSwitchOn", "DiTraceGetInstructions", "DiTracePrintRawInfo", "DiTraceGetNrOfNewFrames",
        "DiCoverageSwitchOn", "DiCoverageGetInfo", "DiProfilingSwitchOn", "DiProfileGetInfo", "DiStateOpen",
        "DiStateSave", "DiStateRestore", "DiStateClose", "DiMeeEnumExecEnv", "DiMeeConnect", "DiMeeGetFeatures",
        "DiMeeInitIO", "DiMeeSelect", "DiMeeDisconnect", "DiCpuSelect", "DiCpuCurrent", "DiProcess"};
    ASSERT_EQ(notSupported.size(), 34u);
    using ThreeSlots = uint32_t(DI_CDECL*)(uint32_t, uint32_t, uint32_t);
    const char* argv[] = {"qdvlx32.exe", "CPU"};
    for (bool open : {false, true}) {
        SCOPED_TRACE(open ? "instance open" : "no instance");
        if (open) {
            ASSERT_EQ(module.DiGdiOpen(0, 0, 2, argv, nullptr), 0u);
        }
        for (const auto& name : notSupported) {
            auto fn = reinterpret_cast<ThreeSlots>(module.Find(name.c_str()));
            ASSERT_NE(fn, nullptr) << name;
            EXPECT_EQ(fn(0xDEAD, 0xBEEF, 7), 4u) << name;
        }
        for (const auto& [name, result] : fixedOk) {
            auto fn = reinterpret_cast<ThreeSlots>(module.Find(name.c_str()));
            ASSERT_NE(fn, nullptr) << name;
            EXPECT_EQ(fn(1, 2, 3), result) << name;
        }
        if (open) {
            ASSERT_EQ(module.DiGdiClose(0), 0u);
        }
    }
}

TEST_F(ModuleContract, ForwardingFunctionsWithoutAnInstanceReturnFailedAndTouchNothing) {
    uint32_t version = 0xCAFE;
    EXPECT_EQ(module.DiGdiVersion(&version), 7u);
    EXPECT_EQ(version, 0xCAFEu);
    uint8_t status[16];
    std::memset(status, 0xAB, sizeof status);
    EXPECT_EQ(module.DiExecGetStatus(status), 7u);
    EXPECT_EQ(status[0], 0xAB);
    EXPECT_EQ(module.DiGdiClose(0), 7u);
    EXPECT_EQ(module.DiExecContinue(), 7u);
    EXPECT_EQ(module.DiGdiCancel(), 7u);
}

// The five exports that take a record by value, called by a front-end
// written in C (CFrontEnd.c, compiled as C): each record travels as the
// platform's C compiler passes it, and so do the arguments after it.
TEST_F(ModuleContract, RecordsPassedByValueArriveIntact) {
    auto cpu = AddCpu();
    const char* argv[] = {"C:\\Tools\\qdvlx32.exe", "CPU"};
    struct MapEntry {
        const char* name;
        int32_t id;
        uint8_t accepted, pad[3];
    };
    MapEntry spaces[] = {{"DATA", 5, 0, {}}};
    MapEntry registers[] = {{"R0", 1, 0, {}}, {"PC", 9, 0, {}}};
    const CFrontEndExports exports = {module.Find("DiMemoryWrite"), module.Find("DiMemoryRead"),
                                      module.Find("DiRegisterWrite"), module.Find("DiBreakpointSet"),
                                      module.Find("DiMemoryDownload")};
    // Above 4 GiB, so that every byte of the address counts.
    constexpr uint64_t At = 0x1'0000'0010ull;

    FrontEnd([&] {
        ASSERT_EQ(module.DiGdiOpen(0, 0, 2, argv, nullptr), 0u);
        ASSERT_EQ(module.DiGdiInitMemorySpaceMap(1, spaces), 0u);
        ASSERT_EQ(module.DiGdiInitRegisterMap(2, registers, 9), 0u);

        // Two values written, none past them.
        const uint8_t out[3][12] = {{0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78}, {0, 0, 0, 0, 0, 0, 0x01, 0x02},
                                    {0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}};
        EXPECT_EQ(CFrontEndMemoryWrite(&exports, 5, At, out, 2), 0u);
        EXPECT_EQ(cpu->Word(0, At), 0x12345678u);
        EXPECT_EQ(cpu->Word(0, At + 1), 0x102u);
        EXPECT_EQ(cpu->Word(0, At + 2), 0u) << "a third value was written";

        // Two values read, the third left as it was.
        uint8_t in[3][12];
        std::memset(in, 0xA5, sizeof in);
        EXPECT_EQ(CFrontEndMemoryRead(&exports, 5, At, in, 2), 0u);
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(std::memcmp(in[i], out[i], 8), 0) << "value bytes";
            EXPECT_EQ(std::memcmp(in[i] + 8, "\0\0\0\0", 4), 0) << "status: read";
        }
        EXPECT_EQ(in[2][0], 0xA5) << "a third value was filled";

        EXPECT_EQ(CFrontEndRegisterWrite(&exports, 1, 0xA1B2C3D4, 0xFFFFFFFF), 0u);
        EXPECT_EQ(cpu->ReadRegister(1), 0xA1B2C3D4u);

        uint8_t result[24];
        std::memset(result, 0xEE, sizeof result);
        EXPECT_EQ(CFrontEndBreakpointSet(&exports, result, 1, 5, 0x400, 0), 0u);
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{0x400}));
        uint32_t id, resultWord;
        std::memcpy(&id, result, 4);
        std::memcpy(&resultWord, result + 20, 4);
        EXPECT_EQ(id, 0x400u);
        EXPECT_EQ(resultWord, 4u);
        // A kind other than 1 is refused: the kind, too, is read from the
        // record.
        EXPECT_EQ(CFrontEndBreakpointSet(&exports, result, 2, 5, 0x500, 0), 7u);
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{0x400}));

        const uint8_t data[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        EXPECT_EQ(CFrontEndMemoryDownload(&exports, 0xFFFFFF01, 1, 3, 5, At + 0x800, data), 0u);
        EXPECT_EQ(cpu->Word(0, At + 0x800), 0xAAu);
        EXPECT_EQ(cpu->Word(0, At + 0x802), 0xCCu);
        EXPECT_EQ(cpu->Word(0, At + 0x803), 0u) << "more bytes than the format counts";

        EXPECT_EQ(module.DiGdiClose(0), 0u);
    });
}

// The product's stack layout, as a C caller of the 32-bit DLL has it: each
// record by value is its bytes as consecutive 4-byte argument slots (slot k
// holds bytes 4k to 4k+3, little-endian), and the next argument follows the
// last slot. The slots below are written out by hand from the records.
TEST_F(ModuleContract, ProductTakesRecordsAsConsecutiveStackSlots) {
#if defined(__i386__) || defined(_M_IX86)
    auto cpu = AddCpu();
    const char* argv[] = {"C:\\Tools\\qdvlx32.exe", "CPU"};
    struct MapEntry {
        const char* name;
        int32_t id;
        uint8_t accepted, pad[3];
    };
    MapEntry spaces[] = {{"DATA", 5, 0, {}}};
    MapEntry registers[] = {{"R0", 1, 0, {}}, {"PC", 9, 0, {}}};

    using Write = uint32_t(DI_CDECL*)(uint32_t, uint32_t, uint32_t, const void*, uint32_t);
    using Read = uint32_t(DI_CDECL*)(uint32_t, uint32_t, uint32_t, void*, uint32_t);
    using RegisterWrite = uint32_t(DI_CDECL*)(int32_t, uint32_t, uint32_t, uint32_t);
    using BreakpointSet = uint32_t(DI_CDECL*)(void*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                              uint32_t);
    using Download = uint32_t(DI_CDECL*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                         const uint8_t*);
    auto write = reinterpret_cast<Write>(module.Find("DiMemoryWrite"));
    auto read = reinterpret_cast<Read>(module.Find("DiMemoryRead"));
    auto registerWrite = reinterpret_cast<RegisterWrite>(module.Find("DiRegisterWrite"));
    auto breakpointSet = reinterpret_cast<BreakpointSet>(module.Find("DiBreakpointSet"));
    auto download = reinterpret_cast<Download>(module.Find("DiMemoryDownload"));

    FrontEnd([&] {
        ASSERT_EQ(module.DiGdiOpen(0, 0, 2, argv, nullptr), 0u);
        ASSERT_EQ(module.DiGdiInitMemorySpaceMap(1, spaces), 0u);
        ASSERT_EQ(module.DiGdiInitRegisterMap(2, registers, 9), 0u);

        // GdiAddress {space 5, 0x0000000100000010}:
        // 05 00 00 00 | 00 00 00 01 | 00 00 00 10
        const uint8_t out[2][12] = {{0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78}, {0, 0, 0, 0, 0, 0, 0x01, 0x02}};
        EXPECT_EQ(write(0x00000005, 0x01000000, 0x10000000, out, 2), 0u);
        EXPECT_EQ(cpu->Word(0, 0x100000010ull), 0x12345678u);
        EXPECT_EQ(cpu->Word(0, 0x100000011ull), 0x102u);
        EXPECT_EQ(cpu->Word(0, 0x100000012ull), 0u);
        uint8_t in[3][12];
        std::memset(in, 0xA5, sizeof in);
        EXPECT_EQ(read(0x00000005, 0x01000000, 0x10000000, in, 2), 0u);
        EXPECT_EQ(in[0][4], 0x12);
        EXPECT_EQ(in[0][7], 0x78);
        EXPECT_EQ(in[1][7], 0x02);
        EXPECT_EQ(in[1][8], 0x00) << "status: read";
        EXPECT_EQ(in[2][0], 0xA5) << "a third value was filled";

        // GdiValue: 00 00 00 00 | A1 B2 C3 D4 | status 00 00 00 00
        EXPECT_EQ(registerWrite(1, 0x00000000, 0xD4C3B2A1, 0x00000000), 0u);
        EXPECT_EQ(cpu->ReadRegister(1), 0xA1B2C3D4u);

        // GdiBreakpoint: kind 01 00 00 00 | space 05 00 00 00 | address
        // 00 00 00 00 00 00 04 00 | qualifier 0 | 8 bytes not read
        uint8_t result[24] = {};
        EXPECT_EQ(breakpointSet(result, 1, 5, 0, 0x00040000, 0, 0x5A5A5A5A, 0x5A5A5A5A), 0u);
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{0x400}));
        uint32_t id;
        std::memcpy(&id, result, 4);
        EXPECT_EQ(id, 0x400u);

        // GdiDownloadFormat: format 0 | byte count 3 | space 5 | address
        // 00 00 00 00 00 00 08 00
        const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
        EXPECT_EQ(download(0xFFFFFF01, 1, 0, 3, 5, 0, 0x00080000, data), 0u);
        EXPECT_EQ(cpu->Word(0, 0x800), 0xAAu);
        EXPECT_EQ(cpu->Word(0, 0x802), 0xCCu);

        EXPECT_EQ(module.DiGdiClose(0), 0u);
    });
#else
    GTEST_SKIP() << "the 32-bit product's stack slots; a 64-bit C caller passes records its own way";
#endif
}

}  // namespace
