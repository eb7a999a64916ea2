// The target as the GDB server sees it: the module's Di* exports, wrapped in
// the few operations gdb's packets need. Nothing here knows the protocol.
//
// Every call runs on the thread that opened the instance; the poll callback
// given to Open runs on that thread too, during Continue and Step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/DiModule.h"

namespace gdbserver {

// gdb's register numbers for an M-profile core, and the GDI ids the server
// gives them in the register map it sends.
struct RegisterSlot {
    const char* gdbName;  // in the target description
    const char* mapName;  // in the register map
    uint32_t gdbNumber;
    int32_t id;
};
inline constexpr RegisterSlot kRegisterSlots[] = {
    {"r0", "R0", 0, 0},    {"r1", "R1", 1, 1},    {"r2", "R2", 2, 2},     {"r3", "R3", 3, 3},
    {"r4", "R4", 4, 4},    {"r5", "R5", 5, 5},    {"r6", "R6", 6, 6},     {"r7", "R7", 7, 7},
    {"r8", "R8", 8, 8},    {"r9", "R9", 9, 9},    {"r10", "R10", 10, 10}, {"r11", "R11", 11, 11},
    {"r12", "R12", 12, 12}, {"sp", "SP", 13, 13}, {"lr", "LR", 14, 14},   {"pc", "PC", 15, 15},
    {"xpsr", "XPSR", 25, 16},
};
inline constexpr std::size_t kRegisterCount = std::size(kRegisterSlots);
inline constexpr int32_t kPcId = 15;

struct TargetStatus {
    uint32_t cause = 0;  // 0 running, 1 step, 4 breakpoint, 128 halted, 512 stopped
    uint32_t breakpointId = 0;
    std::string message;
};

enum class RunOutcome { Stopped, Cancelled, Failed };

class Target {
public:
    explicit Target(frontend::DiModule& module) : module_(module) {}

    // DiGdiOpen with the ARM front-end path and the processor's designator,
    // then the register and memory-space maps.
    bool Open(const std::string& frontEndPath, const std::string& designator, frontend::PollFn poll,
              std::string& error);
    bool Close();
    bool IsOpen() const { return open_; }

    std::optional<uint32_t> ReadRegister(int32_t id);
    void WriteRegister(int32_t id, uint32_t value);  // the module reports no failure

    // Reads up to count bytes, looping over short reads; stops at the first
    // byte that cannot be read. Empty when not even the first one can.
    std::vector<uint8_t> ReadMemory(uint64_t address, uint32_t count);
    bool WriteMemory(uint64_t address, const uint8_t* bytes, std::size_t count);

    // A download: Begin, any number of Blocks (split into blocks of at most
    // 1,024 bytes), End; Abort when a block fails. When a block is refused,
    // refused (if given) gets the first address the target refuses, found
    // by writing halves of the block again.
    bool BeginDownload();
    bool DownloadBlocks(uint64_t address, const uint8_t* bytes, std::size_t count, uint64_t* refused = nullptr);
    bool EndDownload();
    void AbortDownload();

    // The whole download of an ELF or Intel HEX file; false with a one-line
    // reason (a refused block names its address). bytes: what was written.
    bool DownloadImage(const std::string& file, std::string& error, std::size_t& bytes);

    // A Thumb breakpoint; the module's id for it (the address + 1).
    std::optional<uint32_t> SetBreakpoint(uint64_t address);
    bool ClearBreakpoint(uint32_t id);

    // Run control. Continue and Step block until the core stops or the poll
    // callback cancels the wait (Cancelled: the core is still running).
    RunOutcome Continue();
    RunOutcome Step(uint32_t count = 1);
    void Cancel();
    bool Stop();
    bool Reset();
    std::optional<TargetStatus> Status();

    // Set by Cancel, cleared when a run starts.
    bool CancelRequested() const { return cancelled_; }

private:
    frontend::DiModule& module_;
    bool open_ = false;
    bool cancelled_ = false;
    uint32_t readChunk_ = 4096;  // shrinks to what the module delivers in one read
};

}  // namespace gdbserver
