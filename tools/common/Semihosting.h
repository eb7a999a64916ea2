// ARM semihosting: the calls a program makes with `bkpt 0xab` (operation in
// r0, parameter in r1, result back in r0), carried out by the debugger.
//
// One executor serves both front-ends: orxdbg's continue and the GDB server.
// It knows nothing of the module: the caller reads r0/r1 and hands in the
// target's memory and a console, then writes the result to r0 and moves the
// PC past the bkpt (Outcome::Resume), or ends the run (Outcome::Exit).
//
// Carried out: SYS_OPEN of ":tt" (the console), read-only of
// ":semihosting-features", and of files under the one directory the user
// names (read-only unless writes are allowed; none without a directory:
// ENOENT), SYS_CLOSE, SYS_WRITEC, SYS_WRITE0, SYS_WRITE, SYS_READ,
// SYS_READC, SYS_ISERROR, SYS_ISTTY, SYS_SEEK and SYS_FLEN (the features
// file and the directory's files), SYS_CLOCK,
// SYS_TIME, SYS_ERRNO, SYS_GET_CMDLINE (empty), SYS_HEAPINFO (no
// information: the C library keeps its defaults), SYS_ELAPSED, SYS_TICKFREQ,
// SYS_EXIT and SYS_EXIT_EXTENDED. Any other operation returns -1 with errno
// ENOSYS.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace semihosting {

// The Thumb encoding of `bkpt 0xab`.
inline constexpr uint16_t kTrapInstruction = 0xBEAB;

namespace op {
inline constexpr uint32_t Open = 0x01, Close = 0x02, WriteC = 0x03, Write0 = 0x04, Write = 0x05, Read = 0x06,
                          ReadC = 0x07, IsError = 0x08, IsTty = 0x09, Seek = 0x0A, FLen = 0x0C, Clock = 0x10,
                          Time = 0x11, Errno = 0x13, GetCmdline = 0x15, HeapInfo = 0x16, Exit = 0x18,
                          ExitExtended = 0x20, Elapsed = 0x30, TickFreq = 0x31;
}
// SYS_EXIT's reason for a program that ended normally.
inline constexpr uint32_t kApplicationExit = 0x20026;

// The target's memory, by byte address.
class Memory {
public:
    virtual ~Memory() = default;
    virtual bool Read(uint32_t address, uint8_t* bytes, uint32_t count) = 0;
    virtual bool Write(uint32_t address, const uint8_t* bytes, uint32_t count) = 0;
};

// Where the program's console goes.
class Console {
public:
    virtual ~Console() = default;
    // Text the program writes; error: to its stderr handle.
    virtual void Output(std::string_view text, bool error) = 0;
    // One input character; -1 at the end of the input; none when the wait
    // was interrupted (the call is then not carried out).
    virtual std::optional<int> ReadChar() = 0;
};

struct Outcome {
    enum Kind {
        Resume,       // write result to r0, PC += 2, and run on
        Exit,         // the program ended: see exitCode and normal
        Interrupted,  // an input wait was interrupted: the PC stays on the bkpt
    };
    Kind kind = Resume;
    uint32_t result = 0;
    // Exit: SYS_EXIT with ApplicationExit gives 0, SYS_EXIT_EXTENDED its
    // subcode; normal is false for any other reason (exitCode is then the
    // reason's code).
    uint32_t exitCode = 0;
    bool normal = true;
};

class Executor {
public:
    Executor();
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // The directory whose files SYS_OPEN opens (a name is taken relative to
    // it, a leading '/' too); a name that leads out of it, by ".." or by a
    // symbolic link, is refused (EACCES), and so is any mode that writes
    // unless writable. Empty: no files but the console and the features.
    // False when the directory cannot be opened.
    bool SetFileDirectory(const std::string& directory, bool writable);

    // Carries out one call.
    Outcome Execute(uint32_t operation, uint32_t parameter, Memory& memory, Console& console);

    // Starts SYS_CLOCK and SYS_ELAPSED from zero, clears errno and closes
    // the program's files.
    void Restart();

    // "SYS_WRITE0" for a known operation, "operation 0x42" otherwise.
    static std::string Name(uint32_t operation);

    // Console handles SYS_OPEN of ":tt" gives: by mode, stdin (0-3),
    // stdout (4-7), stderr (8-11).
    static constexpr uint32_t kStdin = 1, kStdout = 2, kStderr = 3;
    // The handle SYS_OPEN of ":semihosting-features" gives, and the file's
    // bytes: the magic "SHFB", then feature byte 0 with SYS_EXIT_EXTENDED
    // (bit 0) and separate stdout and stderr from ":tt" (bit 1). A C library
    // reads it to know it may pass an exit code.
    static constexpr uint32_t kFeatures = 4;
    static constexpr uint8_t kFeatureBytes[5] = {'S', 'H', 'F', 'B', 0x03};

private:
    Outcome Fail(int error);
    // A file of the directory opened with fopen's mode (0..11); the host's
    // descriptor, or -errno.
    int OpenFile(const std::string& name, uint32_t mode);
    void CloseFiles();
    std::chrono::steady_clock::time_point start_;
    int directory_ = -1;  // the directory's descriptor
    bool writable_ = false;
    std::map<uint32_t, int> files_;  // the program's handle: the host's descriptor
    uint32_t nextHandle_ = kFeatures + 1;
    uint32_t errno_ = 0;
    uint32_t featuresPosition_ = 0;  // where the next read of the features file starts
};

}  // namespace semihosting
