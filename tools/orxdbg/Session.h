// One debug session through the module's exports: what the commands do.
//
// The session calls the Di* functions on the thread that runs it (the
// front-end thread) and prints what it learns to one output stream. Every
// Di* result other than 0 is printed with its name and a message; the
// methods then return false and the session goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/DiModule.h"
#include "tools/orxdbg/Image.h"

namespace orxdbg {

// The processor as the session maps it: the GDI ids it gives the Cortex-M
// registers, and the one memory space that covers the whole bus.
struct RegisterInfo {
    const char* name;
    int32_t id;
};
inline constexpr RegisterInfo kRegisters[] = {
    {"R0", 0},  {"R1", 1},  {"R2", 2},   {"R3", 3},   {"R4", 4},   {"R5", 5},   {"R6", 6},   {"R7", 7},   {"R8", 8},
    {"R9", 9},  {"R10", 10}, {"R11", 11}, {"R12", 12}, {"SP", 13}, {"LR", 14}, {"PC", 15}, {"XPSR", 16},
};
inline constexpr int32_t kLrId = 14;
inline constexpr int32_t kPcId = 15;
inline constexpr const char* kMemorySpaceName = "MEMORY";
inline constexpr uint32_t kMemorySpaceId = 0;

// Register id for a name, ignoring case; none for an unknown name.
std::optional<int32_t> RegisterIdFor(std::string_view name);
const char* RegisterName(int32_t id);

// Largest download block the module takes, and the largest piece the session
// asks for in one memory read or write.
inline constexpr uint32_t kDownloadBlockBytes = 1024;
inline constexpr uint32_t kTransferValues = 1024;

std::string CauseText(uint32_t cause);
// "GdiFailed" for 7; "status 9" for codes the interface does not define.
std::string StatusName(uint32_t status);

// An address argument: a number, or a symbol (its text kept for display).
struct Location {
    uint64_t address = 0;
    std::string symbol;
};

struct StopStatus {
    uint32_t cause = 0;
    uint32_t breakpointId = 0;
    std::string message;  // without the trailing line break
};

struct SessionOptions {
    std::string frontEndPath = "C:\\Tools\\qdvarm.exe";  // selects the processor family
    std::string designator = "CORTEXM";
    bool terminal = false;  // output is a terminal: progress bar, interrupt hint
};

class Session {
public:
    // The module must be loaded and stay loaded while the session lives.
    Session(frontend::DiModule& module, std::ostream& out, SessionOptions options = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // ---- Commands: print their outcome; false when something failed.
    bool Open(const std::optional<std::string>& path, const std::optional<std::string>& designator);
    bool SendMaps();
    bool Load(const std::string& file);
    bool Break(const Location& location);
    bool Delete(const Location& location);
    bool Continue();
    bool Finish();
    bool Step(uint32_t count);
    bool Stop();
    bool Reset();
    bool ShowStatus();
    bool ShowRegisters();
    bool DumpMemory(const Location& location, uint32_t count);
    bool ShowWords(const Location& location, std::optional<uint32_t> count);
    bool WriteMemory(const Location& location, const std::vector<uint8_t>& bytes);
    bool WriteRegister(int32_t id, uint32_t value);
    bool Close();

    // ---- Target access, through the exports; failures are printed.
    std::optional<StopStatus> QueryStatus();
    std::optional<uint32_t> ReadRegister(int32_t id);
    std::optional<std::vector<uint8_t>> ReadMemory(uint64_t address, uint32_t count);

    bool IsOpen() const { return open_; }
    const SymbolTable& Symbols() const { return symbols_; }
    std::ostream& Out() { return out_; }
    // "0x000000a4 <compute_table>", or the bare number without a symbol.
    std::string DescribeAddress(uint64_t address) const;

    // What Ctrl-C does during a run: async-signal-safe. The next poll of the
    // waiting run calls DiGdiCancel.
    static void Interrupt();
    // Called on the waiting thread at every poll of a run wait, before the
    // interrupt is looked at.
    std::function<void()> onPoll;

private:
    struct BreakpointEntry {
        uint32_t id;
        uint64_t address;
        std::string symbol;
    };

    static void DI_CDECL PollCallback();
    // Prints a non-zero result; true when the result is 0.
    bool Check(const char* function, uint32_t result);
    // As Check, for a run that Ctrl-C may have cancelled.
    bool CheckRun(const char* function, uint32_t result);
    bool Continue(bool showStatus);
    void PrintStatus(const StopStatus& status);
    std::optional<uint32_t> ResolveBreakpointId(const Location& location) const;
    std::string DescribeBreakpoint(uint32_t id) const;
    void ShowProgress(std::size_t done, std::size_t total);

    frontend::DiModule& module_;
    std::ostream& out_;
    SessionOptions options_;
    bool open_ = false;
    SymbolTable symbols_;
    std::vector<BreakpointEntry> breakpoints_;
    std::atomic<bool> cancelled_{false};
    bool firstPoll_ = false;
};

}  // namespace orxdbg
