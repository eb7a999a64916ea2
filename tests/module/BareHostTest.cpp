// The module loaded by a host executable that exports none of the entry
// points: loading succeeds, the instance opens, and every target operation
// reports failure instead of crashing.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/ModuleLoader.h"

using namespace diorx_test;

TEST(BareHost, EveryTargetOperationFailsCleanly) {
    DiModule module;
    std::string error;
    ASSERT_TRUE(module.Load(DIORX_MODULE_FILE, error)) << error;
    const char* argv[] = {"qdvarm.exe", "CPU"};
    ASSERT_EQ(module.DiGdiOpen(0, 0, 2, argv, nullptr), 0u);

    uint32_t version = 0;
    EXPECT_EQ(module.DiGdiVersion(&version), 0u);
    EXPECT_EQ(version, 294u);
    EXPECT_EQ(module.DiExecStop(), 7u);
    EXPECT_EQ(module.DiExecResetChild(), 7u);
    EXPECT_EQ(module.DiExecContinue(), 7u);
    EXPECT_EQ(module.DiBreakpointClearAll(), 7u);
    uint8_t status[16];
    std::memset(status, 0x33, sizeof status);
    EXPECT_EQ(module.DiExecGetStatus(status), 7u);
    EXPECT_EQ(status[0], 0x33) << "cause untouched when the state cannot be learnt";

    uint8_t value[12];
    EXPECT_EQ(module.DiRegisterRead(-1, value), 0u);
    EXPECT_EQ(value[8], 3) << "register not read";
    gdi::GdiValue written{};
    written.bytes[6] = 0x01;
    EXPECT_EQ(module.DiRegisterWrite(-1, written), 7u) << "the value reached no register";
    uint8_t values[2][12] = {};
    EXPECT_EQ(module.DiMemoryRead(gdi::GdiAddress{}, values, 2), 0u);
    EXPECT_EQ(values[0][7], 0xFF);
    EXPECT_EQ(values[1][8], 6);
    EXPECT_EQ(module.DiMemoryDownload(0, 0, gdi::GdiDownloadFormat{}, nullptr), 5u);
    EXPECT_EQ(module.DiGdiClose(0), 0u);
}
