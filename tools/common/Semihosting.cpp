#include "tools/common/Semihosting.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace semihosting {

namespace {

// errno values the program's C library knows (newlib's numbering).
constexpr int kENOENT = 2;
constexpr int kEBADF = 9;
constexpr int kEACCES = 13;
constexpr int kEFAULT = 14;
constexpr int kEINVAL = 22;
constexpr int kENOSYS = 88;

constexpr uint32_t kFailed = 0xFFFFFFFFu;  // -1 in r0
constexpr uint32_t kLongestString = 64 * 1024;  // SYS_WRITE0 and file names stop there
constexpr uint32_t kTickFrequency = 1000000;    // SYS_ELAPSED counts microseconds

std::optional<uint32_t> ReadWord(Memory& memory, uint32_t address) {
    uint8_t b[4];
    if (!memory.Read(address, b, 4)) return std::nullopt;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool WriteWord(Memory& memory, uint32_t address, uint32_t value) {
    const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return memory.Write(address, b, 4);
}

// A parameter block of n words at address.
bool ReadBlock(Memory& memory, uint32_t address, uint32_t* words, int n) {
    for (int i = 0; i < n; ++i) {
        const auto w = ReadWord(memory, address + 4u * static_cast<uint32_t>(i));
        if (!w) return false;
        words[i] = *w;
    }
    return true;
}

// A NUL-terminated string, read in pieces that stay within one 256-byte
// block so that a string near the end of RAM reads as far as it goes.
std::optional<std::string> ReadString(Memory& memory, uint32_t address) {
    std::string text;
    while (text.size() < kLongestString) {
        const uint32_t at = address + static_cast<uint32_t>(text.size());
        const uint32_t n = 256 - (at & 255);
        uint8_t piece[256];
        if (!memory.Read(at, piece, n)) {
            // The block runs off the memory: byte by byte up to the end.
            uint8_t c;
            if (!memory.Read(at, &c, 1)) return std::nullopt;
            if (c == 0) return text;
            text += static_cast<char>(c);
            continue;
        }
        for (uint32_t i = 0; i < n; ++i) {
            if (piece[i] == 0) return text;
            text += static_cast<char>(piece[i]);
        }
    }
    return text;
}

bool IsConsole(uint32_t handle) { return handle >= Executor::kStdin && handle <= Executor::kStderr; }

}  // namespace

Executor::Executor() { Restart(); }

Executor::~Executor() {
    CloseFiles();
    if (directory_ >= 0) close(directory_);
}

bool Executor::SetFileDirectory(const std::string& directory, bool writable) {
    CloseFiles();
    if (directory_ >= 0) close(directory_);
    directory_ = -1;
    writable_ = writable;
    if (directory.empty()) return true;
    directory_ = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return directory_ >= 0;
}

void Executor::Restart() {
    start_ = std::chrono::steady_clock::now();
    errno_ = 0;
    CloseFiles();
}

void Executor::CloseFiles() {
    for (const auto& [handle, fd] : files_) close(fd);
    files_.clear();
    nextHandle_ = kFeatures + 1;
}

int Executor::OpenFile(const std::string& name, uint32_t mode) {
    if (directory_ < 0) return -ENOENT;
    // fopen's modes by number: r rb r+ r+b w wb w+ w+b a ab a+ a+b.
    static constexpr int kFlags[12] = {O_RDONLY, O_RDONLY, O_RDWR, O_RDWR,
                                       O_WRONLY | O_CREAT | O_TRUNC, O_WRONLY | O_CREAT | O_TRUNC,
                                       O_RDWR | O_CREAT | O_TRUNC,   O_RDWR | O_CREAT | O_TRUNC,
                                       O_WRONLY | O_CREAT | O_APPEND, O_WRONLY | O_CREAT | O_APPEND,
                                       O_RDWR | O_CREAT | O_APPEND,   O_RDWR | O_CREAT | O_APPEND};
    const int flags = kFlags[mode];
    if ((flags & O_ACCMODE) != O_RDONLY && !writable_) return -EACCES;
    std::string relative = name;
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    if (relative.empty()) return -ENOENT;
    // The kernel resolves the name inside the directory: "..", an absolute
    // symbolic link or one leading out of it ends the lookup (EXDEV).
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC | O_NOCTTY);
    how.mode = (flags & O_CREAT) ? 0644 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, directory_, relative.c_str(), &how, sizeof how);
    if (fd < 0) return errno == EXDEV ? -EACCES : -errno;
    struct stat st {};
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode)) {
        close(static_cast<int>(fd));
        return -EACCES;  // a directory, a device, a pipe: no file of the program's
    }
    return static_cast<int>(fd);
}

std::string Executor::Name(uint32_t operation) {
    switch (operation) {
        case op::Open: return "SYS_OPEN";
        case op::Close: return "SYS_CLOSE";
        case op::WriteC: return "SYS_WRITEC";
        case op::Write0: return "SYS_WRITE0";
        case op::Write: return "SYS_WRITE";
        case op::Read: return "SYS_READ";
        case op::ReadC: return "SYS_READC";
        case op::IsError: return "SYS_ISERROR";
        case op::IsTty: return "SYS_ISTTY";
        case op::Seek: return "SYS_SEEK";
        case op::FLen: return "SYS_FLEN";
        case op::Clock: return "SYS_CLOCK";
        case op::Time: return "SYS_TIME";
        case op::Errno: return "SYS_ERRNO";
        case op::GetCmdline: return "SYS_GET_CMDLINE";
        case op::HeapInfo: return "SYS_HEAPINFO";
        case op::Exit: return "SYS_EXIT";
        case op::ExitExtended: return "SYS_EXIT_EXTENDED";
        case op::Elapsed: return "SYS_ELAPSED";
        case op::TickFreq: return "SYS_TICKFREQ";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "operation 0x%x", operation);
            return text;
        }
    }
}

Outcome Executor::Fail(int error) {
    errno_ = static_cast<uint32_t>(error);
    return {Outcome::Resume, kFailed};
}

Outcome Executor::Execute(uint32_t operation, uint32_t parameter, Memory& memory, Console& console) {
    uint32_t block[3];
    switch (operation) {
        case op::Open: {
            // {name, mode (0..11, fopen's modes), length of the name}
            if (!ReadBlock(memory, parameter, block, 3)) return Fail(kEFAULT);
            const auto name = ReadString(memory, block[0]);
            if (!name) return Fail(kEFAULT);
            if (block[1] > 11) return Fail(kEINVAL);
            if (*name == ":semihosting-features") {
                if (block[1] > 1) return Fail(kEINVAL);  // "r" and "rb" only
                featuresPosition_ = 0;
                return {Outcome::Resume, kFeatures};
            }
            if (*name == ":tt") return {Outcome::Resume, block[1] < 4 ? kStdin : block[1] < 8 ? kStdout : kStderr};
            const int fd = OpenFile(*name, block[1]);
            // The host's errno numbers for these agree with newlib's.
            if (fd < 0) return Fail(-fd == ENOENT ? kENOENT : -fd == EACCES || -fd == EPERM ? kEACCES : -fd);
            const uint32_t handle = nextHandle_++;
            files_[handle] = fd;
            return {Outcome::Resume, handle};
        }
        case op::Close: {
            const auto handle = ReadWord(memory, parameter);
            if (!handle) return Fail(kEFAULT);
            if (const auto file = files_.find(*handle); file != files_.end()) {
                close(file->second);
                files_.erase(file);
                return {Outcome::Resume, 0};
            }
            if (!IsConsole(*handle) && *handle != kFeatures) return Fail(kEBADF);
            return {Outcome::Resume, 0};
        }
        case op::WriteC: {
            uint8_t c;
            if (!memory.Read(parameter, &c, 1)) return Fail(kEFAULT);
            console.Output(std::string_view(reinterpret_cast<const char*>(&c), 1), false);
            return {Outcome::Resume, 0};
        }
        case op::Write0: {
            const auto text = ReadString(memory, parameter);
            if (!text) return Fail(kEFAULT);
            console.Output(*text, false);
            return {Outcome::Resume, 0};
        }
        case op::Write: {
            // {handle, buffer, length}; the result is the count NOT written.
            if (!ReadBlock(memory, parameter, block, 3)) return Fail(kEFAULT);
            const auto file = files_.find(block[0]);
            if (block[0] != kStdout && block[0] != kStderr && file == files_.end()) {
                errno_ = kEBADF;
                return {Outcome::Resume, block[2]};
            }
            std::vector<uint8_t> bytes(block[2]);
            if (!bytes.empty() && !memory.Read(block[1], bytes.data(), block[2])) {
                errno_ = kEFAULT;
                return {Outcome::Resume, block[2]};
            }
            if (file != files_.end()) {
                std::size_t done = 0;
                while (done < bytes.size()) {
                    const ssize_t n = write(file->second, bytes.data() + done, bytes.size() - done);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) {
                        errno_ = static_cast<uint32_t>(n < 0 ? errno : kEINVAL);
                        break;
                    }
                    done += static_cast<std::size_t>(n);
                }
                return {Outcome::Resume, block[2] - static_cast<uint32_t>(done)};
            }
            console.Output(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                           block[0] == kStderr);
            return {Outcome::Resume, 0};
        }
        case op::Read: {
            // {handle, buffer, length}; the result is the count NOT read. A
            // console read ends at a line's end, as a terminal's does.
            if (!ReadBlock(memory, parameter, block, 3)) return Fail(kEFAULT);
            if (block[0] == kFeatures) {
                const uint32_t left = sizeof kFeatureBytes - featuresPosition_;
                const uint32_t n = block[2] < left ? block[2] : left;
                if (n > 0 && !memory.Write(block[1], kFeatureBytes + featuresPosition_, n)) {
                    errno_ = kEFAULT;
                    return {Outcome::Resume, block[2]};
                }
                featuresPosition_ += n;
                return {Outcome::Resume, block[2] - n};
            }
            if (const auto file = files_.find(block[0]); file != files_.end()) {
                std::vector<uint8_t> bytes(block[2]);
                ssize_t n;
                do n = read(file->second, bytes.data(), bytes.size());
                while (n < 0 && errno == EINTR);
                if (n < 0) {
                    errno_ = static_cast<uint32_t>(errno);
                    return {Outcome::Resume, block[2]};
                }
                if (n > 0 && !memory.Write(block[1], bytes.data(), static_cast<uint32_t>(n))) {
                    errno_ = kEFAULT;
                    return {Outcome::Resume, block[2]};
                }
                return {Outcome::Resume, block[2] - static_cast<uint32_t>(n)};
            }
            if (block[0] != kStdin) {
                errno_ = kEBADF;
                return {Outcome::Resume, block[2]};
            }
            std::vector<uint8_t> bytes;
            while (bytes.size() < block[2]) {
                const auto c = console.ReadChar();
                if (!c) return {Outcome::Interrupted, 0};
                if (*c < 0) break;
                bytes.push_back(static_cast<uint8_t>(*c));
                if (*c == '\n') break;
            }
            if (!bytes.empty() && !memory.Write(block[1], bytes.data(), static_cast<uint32_t>(bytes.size()))) {
                errno_ = kEFAULT;
                return {Outcome::Resume, block[2]};
            }
            return {Outcome::Resume, block[2] - static_cast<uint32_t>(bytes.size())};
        }
        case op::ReadC: {
            const auto c = console.ReadChar();
            if (!c) return {Outcome::Interrupted, 0};
            return {Outcome::Resume, static_cast<uint32_t>(*c)};
        }
        case op::IsError: {
            const auto status = ReadWord(memory, parameter);
            if (!status) return Fail(kEFAULT);
            return {Outcome::Resume, static_cast<int32_t>(*status) < 0 ? 1u : 0u};
        }
        case op::IsTty: {
            const auto handle = ReadWord(memory, parameter);
            if (!handle) return Fail(kEFAULT);
            if (files_.count(*handle)) return {Outcome::Resume, 0};
            if (!IsConsole(*handle)) {
                errno_ = kEBADF;
                return {Outcome::Resume, 0};
            }
            return {Outcome::Resume, 1};
        }
        case op::Seek: {
            // {handle, absolute position}; 0 when done.
            if (!ReadBlock(memory, parameter, block, 2)) return Fail(kEFAULT);
            if (const auto file = files_.find(block[0]); file != files_.end()) {
                if (lseek(file->second, static_cast<off_t>(block[1]), SEEK_SET) < 0)
                    return Fail(static_cast<int>(errno));
                return {Outcome::Resume, 0};
            }
            if (block[0] != kFeatures) return Fail(kEBADF);
            if (block[1] > sizeof kFeatureBytes) return Fail(kEINVAL);
            featuresPosition_ = block[1];
            return {Outcome::Resume, 0};
        }
        case op::FLen: {
            // {handle}: the file's length; the console has none.
            const auto handle = ReadWord(memory, parameter);
            if (!handle) return Fail(kEFAULT);
            if (const auto file = files_.find(*handle); file != files_.end()) {
                struct stat st {};
                if (fstat(file->second, &st) != 0) return Fail(static_cast<int>(errno));
                if (st.st_size > 0x7FFFFFFF) return Fail(kEINVAL);
                return {Outcome::Resume, static_cast<uint32_t>(st.st_size)};
            }
            if (*handle != kFeatures) return Fail(kEBADF);
            return {Outcome::Resume, static_cast<uint32_t>(sizeof kFeatureBytes)};
        }
        case op::Clock: {
            const auto elapsed = std::chrono::steady_clock::now() - start_;
            return {Outcome::Resume,
                    static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 10)};
        }
        case op::Time: return {Outcome::Resume, static_cast<uint32_t>(std::time(nullptr))};
        case op::Errno: return {Outcome::Resume, errno_};
        case op::GetCmdline: {
            // {buffer, length}: an empty command line.
            if (!ReadBlock(memory, parameter, block, 2)) return Fail(kEFAULT);
            const uint8_t nul = 0;
            if (block[1] < 1 || !memory.Write(block[0], &nul, 1) || !WriteWord(memory, parameter + 4, 0))
                return Fail(kEFAULT);
            return {Outcome::Resume, 0};
        }
        case op::HeapInfo: {
            // r1 points to the address of four words: heap base and limit,
            // stack base and limit. Zeros tell the C library to use its own.
            const auto where = ReadWord(memory, parameter);
            if (!where) return Fail(kEFAULT);
            for (uint32_t i = 0; i < 4; ++i)
                if (!WriteWord(memory, *where + 4 * i, 0)) return Fail(kEFAULT);
            return {Outcome::Resume, 0};
        }
        case op::Exit: {
            // On a 32-bit core r1 is the reason itself.
            Outcome outcome{Outcome::Exit, 0};
            outcome.normal = parameter == kApplicationExit;
            outcome.exitCode = outcome.normal ? 0 : parameter;
            return outcome;
        }
        case op::ExitExtended: {
            // {reason, subcode}: the subcode is the exit code.
            if (!ReadBlock(memory, parameter, block, 2)) return Fail(kEFAULT);
            Outcome outcome{Outcome::Exit, 0};
            outcome.normal = block[0] == kApplicationExit;
            outcome.exitCode = outcome.normal ? block[1] : block[0];
            return outcome;
        }
        case op::Elapsed: {
            const auto ticks = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_)
                    .count());
            if (!WriteWord(memory, parameter, static_cast<uint32_t>(ticks)) ||
                !WriteWord(memory, parameter + 4, static_cast<uint32_t>(ticks >> 32)))
                return Fail(kEFAULT);
            return {Outcome::Resume, 0};
        }
        case op::TickFreq: return {Outcome::Resume, kTickFrequency};
        default: return Fail(kENOSYS);
    }
}

}  // namespace semihosting
