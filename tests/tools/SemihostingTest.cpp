// The semihosting calls that orxdbg and the GDB server carry out, against a
// small memory and a console that records: results, errno, what reaches
// the console and what the calls write back.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "tools/common/Semihosting.h"

namespace {

using semihosting::Executor;
using semihosting::Outcome;
namespace op = semihosting::op;

constexpr uint32_t kBase = 0x20000000;
constexpr uint32_t kSize = 0x1000;
constexpr uint32_t kFailed = 0xFFFFFFFFu;

class FakeMemory final : public semihosting::Memory {
public:
    FakeMemory() : bytes_(kSize, 0xCC) {}
    bool Read(uint32_t address, uint8_t* bytes, uint32_t count) override {
        if (!Inside(address, count)) return false;
        std::memcpy(bytes, &bytes_[address - kBase], count);
        return true;
    }
    bool Write(uint32_t address, const uint8_t* bytes, uint32_t count) override {
        if (!Inside(address, count)) return false;
        std::memcpy(&bytes_[address - kBase], bytes, count);
        return true;
    }
    void PutString(uint32_t address, const std::string& text) {
        Write(address, reinterpret_cast<const uint8_t*>(text.c_str()), static_cast<uint32_t>(text.size() + 1));
    }
    void PutWords(uint32_t address, std::vector<uint32_t> words) {
        for (uint32_t w : words) {
            const uint8_t b[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
            Write(address, b, 4);
            address += 4;
        }
    }
    uint32_t Word(uint32_t address) {
        uint8_t b[4];
        Read(address, b, 4);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    std::string Text(uint32_t address, uint32_t count) {
        return std::string(reinterpret_cast<const char*>(&bytes_[address - kBase]), count);
    }

private:
    static bool Inside(uint32_t address, uint32_t count) {
        return address >= kBase && uint64_t(address) + count <= uint64_t(kBase) + kSize;
    }
    std::vector<uint8_t> bytes_;
};

class FakeConsole final : public semihosting::Console {
public:
    void Output(std::string_view text, bool error) override { (error ? err : out) += text; }
    std::optional<int> ReadChar() override {
        if (input.empty()) return interruptAtEnd ? std::nullopt : std::optional<int>(-1);
        const int c = static_cast<unsigned char>(input.front());
        input.pop_front();
        return c;
    }
    std::string out, err;
    std::deque<char> input;
    bool interruptAtEnd = false;
};

class Semihosting : public ::testing::Test {
protected:
    Outcome Call(uint32_t operation, uint32_t parameter) { return executor.Execute(operation, parameter, memory, console); }
    uint32_t Errno() { return Call(op::Errno, 0).result; }
    Executor executor;
    FakeMemory memory;
    FakeConsole console;
};

TEST_F(Semihosting, ConsoleOutputGoesToItsStream) {
    memory.PutString(kBase + 0x100, "hello\n");
    EXPECT_EQ(Call(op::Write0, kBase + 0x100).result, 0u);
    memory.PutString(kBase + 0x110, "!");
    EXPECT_EQ(Call(op::WriteC, kBase + 0x110).result, 0u);
    // SYS_WRITE on the handles SYS_OPEN gives for ":tt": stdout and stderr.
    memory.PutString(kBase + 0x120, ":tt");
    memory.PutWords(kBase + 0x200, {kBase + 0x120, 4, 3});
    const uint32_t out = Call(op::Open, kBase + 0x200).result;
    memory.PutWords(kBase + 0x200, {kBase + 0x120, 8, 3});
    const uint32_t err = Call(op::Open, kBase + 0x200).result;
    memory.PutString(kBase + 0x140, "abcdef");
    memory.PutWords(kBase + 0x210, {out, kBase + 0x140, 3});
    EXPECT_EQ(Call(op::Write, kBase + 0x210).result, 0u);  // nothing left unwritten
    memory.PutWords(kBase + 0x210, {err, kBase + 0x143, 3});
    EXPECT_EQ(Call(op::Write, kBase + 0x210).result, 0u);
    EXPECT_EQ(console.out, "hello\n!abc");
    EXPECT_EQ(console.err, "def");
    EXPECT_EQ(Call(op::Close, kBase + 0x210).result, 0u);
}

TEST_F(Semihosting, OpenGivesTheConsoleByModeAndNoOtherFile) {
    memory.PutString(kBase + 0x100, ":tt");
    memory.PutString(kBase + 0x108, "log.txt");
    const struct {
        uint32_t name, mode, result, error;
    } cases[] = {
        {kBase + 0x100, 0, Executor::kStdin, 0},   {kBase + 0x100, 3, Executor::kStdin, 0},
        {kBase + 0x100, 4, Executor::kStdout, 0},  {kBase + 0x100, 7, Executor::kStdout, 0},
        {kBase + 0x100, 8, Executor::kStderr, 0},  {kBase + 0x100, 11, Executor::kStderr, 0},
        {kBase + 0x100, 12, kFailed, 22},          {kBase + 0x108, 0, kFailed, 2},
        {0x10, 0, kFailed, 14},  // the name cannot be read
    };
    for (const auto& c : cases) {
        executor.Restart();
        memory.PutWords(kBase + 0x200, {c.name, c.mode, 3});
        EXPECT_EQ(Call(op::Open, kBase + 0x200).result, c.result) << std::hex << c.name << " mode " << c.mode;
        EXPECT_EQ(Errno(), c.error) << std::hex << c.name << " mode " << c.mode;
    }
}

// The features file as newlib reads it: open read-only, its length, the
// magic, a seek to the feature byte, the byte, close. Only that file has a
// length or a position.
TEST_F(Semihosting, TheFeaturesFileTellsOfExitCodesAndAStderrOfItsOwn) {
    memory.PutString(kBase + 0x100, ":semihosting-features");
    for (const uint32_t mode : {2u, 4u, 8u}) {
        memory.PutWords(kBase + 0x200, {kBase + 0x100, mode, 21});
        EXPECT_EQ(Call(op::Open, kBase + 0x200).result, kFailed) << "mode " << mode << ": read-only";
        EXPECT_EQ(Errno(), 22u);
    }
    memory.PutWords(kBase + 0x200, {kBase + 0x100, 1, 21});  // "rb"
    const uint32_t handle = Call(op::Open, kBase + 0x200).result;
    ASSERT_EQ(handle, Executor::kFeatures);
    memory.PutWords(kBase + 0x210, {handle});
    EXPECT_EQ(Call(op::FLen, kBase + 0x210).result, 5u);
    memory.PutWords(kBase + 0x220, {handle, kBase + 0x300, 4});
    EXPECT_EQ(Call(op::Read, kBase + 0x220).result, 0u) << "all four read";
    EXPECT_EQ(memory.Text(kBase + 0x300, 4), "SHFB");
    memory.PutWords(kBase + 0x230, {handle, 4});
    EXPECT_EQ(Call(op::Seek, kBase + 0x230).result, 0u);
    memory.PutWords(kBase + 0x220, {handle, kBase + 0x310, 8});
    EXPECT_EQ(Call(op::Read, kBase + 0x220).result, 7u) << "one byte of eight, then the end";
    EXPECT_EQ(memory.Text(kBase + 0x310, 2), "\x03\xCC") << "bit 0: SYS_EXIT_EXTENDED, bit 1: stdout and stderr";
    EXPECT_EQ(Call(op::Read, kBase + 0x220).result, 8u) << "at the end";
    memory.PutWords(kBase + 0x230, {handle, 6});
    EXPECT_EQ(Call(op::Seek, kBase + 0x230).result, kFailed) << "past the end";
    EXPECT_EQ(Call(op::Close, kBase + 0x210).result, 0u);

    for (const uint32_t console : {Executor::kStdin, Executor::kStdout}) {
        memory.PutWords(kBase + 0x210, {console});
        EXPECT_EQ(Call(op::FLen, kBase + 0x210).result, kFailed);
        EXPECT_EQ(Errno(), 9u);
        memory.PutWords(kBase + 0x230, {console, 0});
        EXPECT_EQ(Call(op::Seek, kBase + 0x230).result, kFailed);
        EXPECT_EQ(Errno(), 9u);
    }
}

TEST_F(Semihosting, WritesToAHandleThatIsNoOutputAreRefused) {
    memory.PutWords(kBase + 0x200, {Executor::kStdin, kBase + 0x100, 5});
    EXPECT_EQ(Call(op::Write, kBase + 0x200).result, 5u);  // five bytes not written
    EXPECT_EQ(Errno(), 9u);
    memory.PutWords(kBase + 0x200, {Executor::kStdout, 0x10, 5});  // a buffer outside memory
    EXPECT_EQ(Call(op::Write, kBase + 0x200).result, 5u);
    EXPECT_EQ(Errno(), 14u);
    EXPECT_EQ(Call(op::Write0, 0x10).result, kFailed);
    EXPECT_EQ(console.out, "");
}

TEST_F(Semihosting, InputComesCharacterByCharacterOrALineAtATime) {
    console.input = {'a', 'b', '\n', 'c', 'd'};
    EXPECT_EQ(Call(op::ReadC, 0).result, uint32_t('a'));
    memory.PutWords(kBase + 0x200, {Executor::kStdin, kBase + 0x100, 10});
    EXPECT_EQ(Call(op::Read, kBase + 0x200).result, 8u);  // "b\n": 8 of 10 not read
    EXPECT_EQ(memory.Text(kBase + 0x100, 2), "b\n");
    EXPECT_EQ(Call(op::Read, kBase + 0x200).result, 8u);  // "cd", then the input ends
    EXPECT_EQ(memory.Text(kBase + 0x100, 2), "cd");
    EXPECT_EQ(Call(op::Read, kBase + 0x200).result, 10u);  // nothing: end of file
    EXPECT_EQ(Call(op::ReadC, 0).result, kFailed);
    console.interruptAtEnd = true;
    EXPECT_EQ(Call(op::ReadC, 0).kind, Outcome::Interrupted);
    EXPECT_EQ(Call(op::Read, kBase + 0x200).kind, Outcome::Interrupted);
}

TEST_F(Semihosting, ExitEndsTheRunWithItsCode) {
    const Outcome normal = Call(op::Exit, semihosting::kApplicationExit);
    EXPECT_EQ(normal.kind, Outcome::Exit);
    EXPECT_TRUE(normal.normal);
    EXPECT_EQ(normal.exitCode, 0u);
    const Outcome abnormal = Call(op::Exit, 0x20023);  // run-time error
    EXPECT_EQ(abnormal.kind, Outcome::Exit);
    EXPECT_FALSE(abnormal.normal);
    EXPECT_EQ(abnormal.exitCode, 0x20023u);
    memory.PutWords(kBase + 0x200, {semihosting::kApplicationExit, 3});
    const Outcome extended = Call(op::ExitExtended, kBase + 0x200);
    EXPECT_EQ(extended.kind, Outcome::Exit);
    EXPECT_TRUE(extended.normal);
    EXPECT_EQ(extended.exitCode, 3u);
}

TEST_F(Semihosting, TimeClockAndTheCallsTheCLibraryMakesAtStart) {
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    const uint32_t time = Call(op::Time, 0).result;
    EXPECT_GE(time, now);
    EXPECT_LE(time, now + 5);
    EXPECT_LT(Call(op::Clock, 0).result, 500u);  // centiseconds since the executor started
    memory.PutWords(kBase + 0x200, {kBase + 0x300});
    memory.PutWords(kBase + 0x300, {1, 2, 3, 4});
    EXPECT_EQ(Call(op::HeapInfo, kBase + 0x200).result, 0u);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(memory.Word(kBase + 0x300 + 4 * i), 0u);
    memory.PutWords(kBase + 0x210, {kBase + 0x400, 64});
    EXPECT_EQ(Call(op::GetCmdline, kBase + 0x210).result, 0u);
    EXPECT_EQ(memory.Text(kBase + 0x400, 1), std::string(1, '\0'));
    EXPECT_EQ(memory.Word(kBase + 0x214), 0u);
    memory.PutWords(kBase + 0x220, {Executor::kStdout});
    EXPECT_EQ(Call(op::IsTty, kBase + 0x220).result, 1u);
    memory.PutWords(kBase + 0x220, {0xFFFFFFFEu});
    EXPECT_EQ(Call(op::IsError, kBase + 0x220).result, 1u);
}

TEST_F(Semihosting, AnUnknownOperationFailsWithENOSYS) {
    EXPECT_EQ(Call(0x42, 0).result, kFailed);
    EXPECT_EQ(Errno(), 88u);
    EXPECT_EQ(Executor::Name(0x42), "operation 0x42");
    EXPECT_EQ(Executor::Name(op::Write0), "SYS_WRITE0");
}

}  // namespace
