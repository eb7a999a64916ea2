// The semihosting calls that orxdbg and the GDB server carry out, against a
// small memory and a console that records: results, errno, what reaches
// the console and what the calls write back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
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

namespace {

// Files under the directory the user names: the program opens, reads,
// seeks, measures, writes and closes them; a name that leads out of the
// directory is refused, and so is a write unless writes are allowed.
class SemihostingFiles : public Semihosting {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/diorx-semihosting-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        top = pattern;
        dir = top / "files";
        std::filesystem::create_directories(dir / "sub");
        std::ofstream(dir / "data.txt") << "0123456789";
        std::ofstream(dir / "sub" / "deep.txt") << "deep";
        std::ofstream(top / "secret.txt") << "secret";
        std::filesystem::create_symlink(top / "secret.txt", dir / "outside-link");
        std::filesystem::create_symlink("../secret.txt", dir / "relative-link");
        std::filesystem::create_symlink("data.txt", dir / "inside-link");
    }
    void TearDown() override { std::filesystem::remove_all(top); }

    // SYS_OPEN of name with fopen's mode number; the handle or kFailed.
    uint32_t Open(const std::string& name, uint32_t mode) {
        memory.PutString(kBase + 0x400, name);
        memory.PutWords(kBase + 0x200, {kBase + 0x400, mode, static_cast<uint32_t>(name.size())});
        return Call(op::Open, kBase + 0x200).result;
    }
    std::string ReadAll(uint32_t handle, uint32_t count) {
        memory.PutWords(kBase + 0x210, {handle, kBase + 0x800, count});
        const uint32_t left = Call(op::Read, kBase + 0x210).result;
        return memory.Text(kBase + 0x800, count - left);
    }
    std::filesystem::path top, dir;
};

TEST_F(SemihostingFiles, NamesInsideTheDirectoryOpenAndNoneLeadsOut) {
    ASSERT_TRUE(executor.SetFileDirectory(dir.string(), false));
    const struct {
        const char* name;
        uint32_t mode;
        bool opens;
        uint32_t error;  // when it does not
    } cases[] = {
        {"data.txt", 0, true, 0},
        {"/data.txt", 1, true, 0},          // taken relative to the directory
        {"sub/deep.txt", 0, true, 0},
        {"sub/../data.txt", 0, true, 0},    // ".." that stays inside
        {"inside-link", 0, true, 0},
        {"missing.txt", 0, false, 2},
        {"../secret.txt", 0, false, 13},
        {"sub/../../secret.txt", 0, false, 13},
        {"outside-link", 0, false, 13},    // an absolute link out
        {"relative-link", 0, false, 13},   // a relative one
        {"sub", 0, false, 13},             // a directory is no file
        {"data.txt", 2, false, 13},        // r+: writes, not allowed
        {"new.txt", 4, false, 13},         // w
        {"data.txt", 8, false, 13},        // a
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(c.mode));
        const uint32_t handle = Open(c.name, c.mode);
        if (c.opens) {
            EXPECT_NE(handle, kFailed);
            EXPECT_GT(handle, Executor::kFeatures);
        } else {
            EXPECT_EQ(handle, kFailed);
            EXPECT_EQ(Errno(), c.error);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "new.txt"));
}

TEST_F(SemihostingFiles, AFileReadsSeeksAndMeasuresAsOnTheHost) {
    ASSERT_TRUE(executor.SetFileDirectory(dir.string(), false));
    const uint32_t handle = Open("data.txt", 1);
    ASSERT_NE(handle, kFailed);
    memory.PutWords(kBase + 0x220, {handle});
    EXPECT_EQ(Call(op::FLen, kBase + 0x220).result, 10u);
    EXPECT_EQ(Call(op::IsTty, kBase + 0x220).result, 0u);
    EXPECT_EQ(ReadAll(handle, 4), "0123");
    memory.PutWords(kBase + 0x230, {handle, 7});
    EXPECT_EQ(Call(op::Seek, kBase + 0x230).result, 0u);
    EXPECT_EQ(ReadAll(handle, 8), "789");  // 5 of 8 not read: the end
    EXPECT_EQ(Call(op::Close, kBase + 0x220).result, 0u);
    EXPECT_EQ(Call(op::Close, kBase + 0x220).result, kFailed);  // closed once
    EXPECT_EQ(Errno(), 9u);
    memory.PutWords(kBase + 0x210, {handle, kBase + 0x800, 4});
    EXPECT_EQ(Call(op::Read, kBase + 0x210).result, 4u);
}

TEST_F(SemihostingFiles, WritesOnlyWhereAllowedAndNoneWithoutADirectory) {
    ASSERT_TRUE(executor.SetFileDirectory(dir.string(), true));
    const uint32_t out = Open("sub/out.txt", 4);
    ASSERT_NE(out, kFailed);
    memory.PutString(kBase + 0x600, "written");
    memory.PutWords(kBase + 0x240, {out, kBase + 0x600, 7});
    EXPECT_EQ(Call(op::Write, kBase + 0x240).result, 0u);
    memory.PutWords(kBase + 0x220, {out});
    EXPECT_EQ(Call(op::Close, kBase + 0x220).result, 0u);
    std::ifstream in(dir / "sub" / "out.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "written");
    // Writable or not, nothing leads out.
    EXPECT_EQ(Open("../escaped.txt", 4), kFailed);
    EXPECT_EQ(Open("outside-link", 8), kFailed);
    EXPECT_FALSE(std::filesystem::exists(top / "escaped.txt"));
    std::ifstream secret(top / "secret.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "secret");

    // A restart closes the program's files; no directory: no files.
    executor.Restart();
    memory.PutWords(kBase + 0x210, {out, kBase + 0x800, 4});
    EXPECT_EQ(Call(op::Read, kBase + 0x210).result, 4u);
    ASSERT_TRUE(executor.SetFileDirectory("", false));
    EXPECT_EQ(Open("data.txt", 0), kFailed);
    EXPECT_EQ(Errno(), 2u);
    EXPECT_FALSE(executor.SetFileDirectory((dir / "missing").string(), false));
}

}  // namespace
