// The operating-system layer: BSTRs, code-page conversion, clock, events, sleeps,
// thread ids and export lookup, in the form the rest of the module relies on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "host/ComSupport.h"
#include "platform/Platform.h"

extern "C" void DI_STDCALL ClientAPI_Synchronize(void* call);

namespace {

uint32_t BytePrefix(const char16_t* text) {
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - sizeof bytes, sizeof bytes);
    return bytes;
}

// ---- BSTR ----------------------------------------------------------------

TEST(BstrTest, HoldsAByteLengthPrefixAndATerminatingNul) {
    struct Case {
        const char* name;
        std::u16string text;
    };
    const Case cases[] = {
        {"empty", u""},
        {"one unit", u"A"},
        {"word", u"Weavemill"},
        {"embedded NUL", std::u16string(u"a\0b", 3)},
        {"units above 255", u"\u20AC\u4E2D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::BSTR text = platform::AllocBstr(c.text.data(), c.text.size());
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(BytePrefix(text), c.text.size() * 2);
        EXPECT_EQ(platform::BstrLength(text), c.text.size());
        EXPECT_EQ(std::u16string(text, c.text.size()), c.text);
        EXPECT_EQ(text[c.text.size()], u'\0');
        platform::FreeBstr(text);
    }
}

TEST(BstrTest, NullIsTheEmptyString) {
    EXPECT_EQ(platform::BstrLength(nullptr), 0u);
    platform::FreeBstr(nullptr);

    // Empty text becomes the null BSTR, and the null BSTR reads as empty.
    const host::BStr empty = host::BStr::FromAnsi("");
    EXPECT_EQ(empty.Get(), nullptr);
    EXPECT_EQ(empty.ToAnsi(), "");

    // Allocating no text still gives a real, empty string.
    platform::BSTR allocated = platform::AllocBstr(nullptr, 0);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(platform::BstrLength(allocated), 0u);
    EXPECT_EQ(allocated[0], u'\0');
    platform::FreeBstr(allocated);
}

TEST(BstrTest, ConversionUsesTheLengthNotTheFirstNul) {
    const host::BStr name = host::BStr::FromAnsi(std::string("R\0x", 3));
    ASSERT_NE(name.Get(), nullptr);
    EXPECT_EQ(platform::BstrLength(name.Get()), 3u);
    EXPECT_EQ(name.ToAnsi(), std::string("R\0x", 3));
}

// ---- ANSI code page ------------------------------------------------------

TEST(AnsiTest, EveryByteIsOneUnitAndRoundTrips) {
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string wide = platform::AnsiToWide(all);
    ASSERT_EQ(wide.size(), all.size()) << "the code page must be single-byte";
    EXPECT_EQ(platform::WideToAnsi(wide), all);
}

TEST(AnsiTest, KnownCharacters) {
    struct Case {
        const char* name;
        std::string narrow;
        std::u16string wide;
    };
    const Case cases[] = {
        {"empty", "", u""},
        {"ASCII", "Weavemill R0", u"Weavemill R0"},
        {"capital E acute", "\xC9", u"\u00C9"},
        {"small e acute", "\xE9", u"\u00E9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::AnsiToWide(c.narrow), c.wide);
        EXPECT_EQ(platform::WideToAnsi(c.wide), c.narrow);
    }
}

TEST(AnsiTest, UnitsOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(platform::WideToAnsi(u"A\u4E2DB"), "A?B");
}

// ---- Environment ------------------------------------------------------------

TEST(EnvironmentTest, SetReadAndRemovedThroughTheProcessEnvironment) {
    const char* const name = "DIORX_PLATFORM_TEST_VARIABLE";
    ASSERT_FALSE(platform::EnvironmentValue(name)) << "left over from an earlier run";
    const std::string longValue(300, 'x');  // longer than a first guess at the size
    const struct {
        const char* value;
        std::optional<std::string> read;
    } cases[] = {
        {"42", "42"},
        {longValue.c_str(), longValue},
        {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "removed");
        EXPECT_TRUE(platform::SetEnvironmentValue(name, c.value));
        EXPECT_EQ(platform::EnvironmentValue(name), c.read);
    }
    EXPECT_FALSE(platform::EnvironmentValue(nullptr));
    EXPECT_FALSE(platform::SetEnvironmentValue(nullptr, "1"));
}

// ---- Clock, events, threads ---------------------------------------------

TEST(ClockTest, TickCountCountsMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto before = Clock::now();
    const uint32_t t0 = platform::TickCount();
    platform::SleepMs(200);
    const uint32_t t1 = platform::TickCount();
    const auto after = Clock::now();

    const uint32_t ticks = t1 - t0;
    const auto outer = std::chrono::duration_cast<std::chrono::milliseconds>(after - before).count();
    // About 200 counts: not seconds, not tenths of milliseconds. The margins
    // allow for a counter that is refreshed late on a busy machine.
    EXPECT_GE(ticks, 100u);
    EXPECT_LE(static_cast<long long>(ticks), 2 * outer + 100);
}

TEST(EventTest, CreatedUnsignalledAndDistinct) {
    platform::EventHandle first = platform::CreateManualEvent();
    platform::EventHandle second = platform::CreateManualEvent();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_FALSE(platform::IsEventSignalled(first));
    EXPECT_FALSE(platform::IsEventSignalled(second));
    platform::CloseEvent(first);
    platform::CloseEvent(second);
    EXPECT_FALSE(platform::IsEventSignalled(nullptr));
}

// A sleep that another thread ends. Sleeps meant to be woken are bounded at
// five seconds, far beyond any wake's delay: a lost wake ends the sleep
// unwoken, and the test fails within seconds instead of at its time-out.
constexpr uint32_t kWokenWithin = 5u * 1000u * 1000u;

TEST(SleeperTest, AWakeEndsTheSleepInProgressOrTheNextOneAndIsUsedUp) {
    platform::SleeperHandle sleeper = platform::CreateSleeper();
    ASSERT_NE(sleeper, nullptr);

    // Whether a sleep was ended by its wake rather than by running its
    // course: a wake that is recorded but does not rouse the sleeper still
    // reads as woken once the sleep is over.
    using Clock = std::chrono::steady_clock;
    const auto endedEarly = [](Clock::time_point since) {
        return Clock::now() - since < std::chrono::microseconds(kWokenWithin);
    };

    // During the sleep, from another thread.
    bool woken = false;
    const auto start = Clock::now();
    std::thread sleeping([&] { woken = platform::SleepMicroseconds(sleeper, kWokenWithin); });
    platform::SleepMs(20);  // most likely asleep by now; earlier is covered below
    platform::WakeSleeper(sleeper);
    sleeping.join();
    EXPECT_TRUE(woken);
    EXPECT_TRUE(endedEarly(start)) << "the sleep ran its course: the wake did not end it";

    // Before the sleep: it ends the next one, once, however many came.
    platform::WakeSleeper(sleeper);
    platform::WakeSleeper(sleeper);
    const auto second = Clock::now();
    EXPECT_TRUE(platform::SleepMicroseconds(sleeper, kWokenWithin));
    EXPECT_TRUE(endedEarly(second)) << "the sleep ran its course: the wake did not end it";
    EXPECT_FALSE(platform::SleepMicroseconds(sleeper, 100)) << "the wake was used up";
    EXPECT_FALSE(platform::SleepMicroseconds(sleeper, 0));
    platform::CloseSleeper(sleeper);

    // Without a sleeper it only sleeps; a wake goes nowhere.
    platform::WakeSleeper(nullptr);
    EXPECT_FALSE(platform::SleepMicroseconds(nullptr, 100));
    platform::CloseSleeper(nullptr);
}

TEST(SleeperTest, SleepsAtLeastTheTimeAskedForFromMicrosecondsUp) {
    using Clock = std::chrono::steady_clock;
    platform::SleeperHandle sleeper = platform::CreateSleeper();
    ASSERT_NE(sleeper, nullptr);
    for (const uint32_t microseconds : {20u, 150u, 1500u, 20000u}) {
        SCOPED_TRACE(microseconds);
        const auto before = Clock::now();
        EXPECT_FALSE(platform::SleepMicroseconds(sleeper, microseconds));
        const auto slept = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before).count();
        EXPECT_GE(slept, static_cast<long long>(microseconds));
    }
    platform::CloseSleeper(sleeper);
}

TEST(ThreadIdTest, StablePerThreadAndDistinctBetweenThreads) {
    const uint32_t mine = platform::CurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(platform::CurrentThreadId(), mine);
    uint32_t other = 0;
    std::thread([&] { other = platform::CurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

// ---- Modules -------------------------------------------------------------

TEST(ModuleTest, ExportLookup) {
    const platform::ModuleHandle program = platform::MainProgramHandle();
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(platform::FindExport(program, "ClientAPI_Synchronize")),
              reinterpret_cast<void*>(&ClientAPI_Synchronize));
    EXPECT_EQ(platform::FindExport(program, "ClientAPI_NoSuchEntry"), nullptr);
    EXPECT_EQ(platform::FindExport(nullptr, "ClientAPI_Synchronize"), nullptr);
}

TEST(ModuleTest, FindsOnlyLibrariesAlreadyLoaded) {
    EXPECT_EQ(platform::FindLoadedLibrary("NoSuchLibrary.DLL"), nullptr);

    const std::string path = platform::ExecutableDirectory() + "/" + platform::FlowLibraryFileName();
    platform::ModuleHandle loaded = platform::LoadLibraryFile(path);
    ASSERT_NE(loaded, nullptr) << path;
    EXPECT_NE(platform::FindLoadedLibrary(platform::FlowLibraryFileName()), nullptr);
    EXPECT_NE(platform::FindExport(platform::FindLoadedLibrary(platform::FlowLibraryFileName()), "GetNexusWorkspace"),
              nullptr);
    platform::UnloadLibrary(loaded);
}

}  // namespace
