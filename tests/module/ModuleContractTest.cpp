// The binary contract of the built module: export names and ordinals, the
// fixed answers, and records passed by value the way a front-end's compiler
// passes them.
#include <gtest/gtest.h>

#include <cstring>
#include <cctype>
#include <map>
#include <set>
#include <string_view>

#include "sim/ScriptedProcessor.h"
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

// Records as a front-end declares them, passed by value.
#pragma pack(push, 1)
struct FeAddress {
    uint32_t space;
    uint8_t address[8];
};
struct FeValue {
    uint8_t bytes[8];
    uint32_t status;
};
struct FeBreakpoint {
    uint32_t kind;
    FeAddress location;
    uint32_t qualifier;
    uint8_t rest[8];
};
struct FeDownloadFormat {
    uint32_t format;
    uint32_t byteCount;
    FeAddress start;
};
#pragma pack(pop)

FeAddress MakeAddress(uint32_t space, uint64_t address) {
    FeAddress a{space, {}};
    for (int i = 0; i < 8; ++i) a.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return a;
}

TEST_F(ModuleContract, RecordsPassedByValueArriveIntact) {
    if (sizeof(void*) != 4) GTEST_SKIP() << "by-value records follow the 32-bit C convention only in the product build";
    auto cpu = AddCpu();
    const char* argv[] = {"C:\\Tools\\qdvlx32.exe", "CPU"};
    struct MapEntry {
        const char* name;
        int32_t id;
        uint8_t accepted, pad[3];
    };
    MapEntry spaces[] = {{"DATA", 5, 0, {}}};
    MapEntry registers[] = {{"R0", 1, 0, {}}, {"PC", 9, 0, {}}};

    using WriteByValue = uint32_t(DI_CDECL*)(FeAddress, const FeValue*, uint32_t);
    using ReadByValue = uint32_t(DI_CDECL*)(FeAddress, FeValue*, uint32_t);
    using RegisterWriteByValue = uint32_t(DI_CDECL*)(int32_t, FeValue);
    using BreakpointSetByValue = uint32_t(DI_CDECL*)(void*, FeBreakpoint);
    using DownloadByValue = uint32_t(DI_CDECL*)(uint32_t, uint32_t, FeDownloadFormat, const uint8_t*);
    auto write = reinterpret_cast<WriteByValue>(module.Find("DiMemoryWrite"));
    auto read = reinterpret_cast<ReadByValue>(module.Find("DiMemoryRead"));
    auto registerWrite = reinterpret_cast<RegisterWriteByValue>(module.Find("DiRegisterWrite"));
    auto breakpointSet = reinterpret_cast<BreakpointSetByValue>(module.Find("DiBreakpointSet"));
    auto download = reinterpret_cast<DownloadByValue>(module.Find("DiMemoryDownload"));

    FrontEnd([&] {
        ASSERT_EQ(module.DiGdiOpen(0, 0, 2, argv, nullptr), 0u);
        ASSERT_EQ(module.DiGdiInitMemorySpaceMap(1, spaces), 0u);
        ASSERT_EQ(module.DiGdiInitRegisterMap(2, registers, 9), 0u);

        const FeValue out[2] = {{{0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78}, 0}, {{0, 0, 0, 0, 0, 0, 0x01, 0x02}, 0}};
        EXPECT_EQ(write(MakeAddress(5, 0x100000010ull), out, 2), 0u);
        EXPECT_EQ(cpu->Word(0, 0x100000010ull), 0x12345678u);
        EXPECT_EQ(cpu->Word(0, 0x100000011ull), 0x102u);

        FeValue in[2] = {};
        EXPECT_EQ(read(MakeAddress(5, 0x100000010ull), in, 2), 0u);
        EXPECT_EQ(in[0].bytes[4], 0x12);
        EXPECT_EQ(in[0].bytes[7], 0x78);
        EXPECT_EQ(in[1].status, 0u);

        EXPECT_EQ(registerWrite(1, FeValue{{0, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0xD4}, 0}), 0u);
        EXPECT_EQ(cpu->ReadRegister(1), 0xA1B2C3D4u);

        uint8_t result[24] = {};
        FeBreakpoint request{1, MakeAddress(5, 0x400), 0, {}};
        EXPECT_EQ(breakpointSet(result, request), 0u);
        EXPECT_EQ(cpu->Breakpoints(), (std::set<uint64_t>{0x400}));
        uint32_t id;
        std::memcpy(&id, result, 4);
        EXPECT_EQ(id, 0x400u);

        const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
        EXPECT_EQ(download(0, 1, FeDownloadFormat{0, 3, MakeAddress(5, 0x800)}, data), 0u);
        EXPECT_EQ(cpu->Word(0, 0x800), 0xAAu);
        EXPECT_EQ(cpu->Word(0, 0x802), 0xCCu);

        EXPECT_EQ(module.DiGdiClose(0), 0u);
    });
}

}  // namespace
