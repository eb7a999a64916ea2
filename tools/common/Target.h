// The target as orxdbg and its GDB server drive it: the module's Di* exports,
// wrapped in the few operations both need. Nothing here knows a protocol or a
// command; runs are RunController's.
//
// Every call runs on the thread that opened the instance; the poll callback
// given to Open runs on that thread too, during Continue and Step.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gdi/GdiRecords.h"
#include "sim/Boards.h"
#include "tools/common/DiModule.h"

namespace frontend {

// A register of the board as gdb and the module see it: its name and number
// in gdb's target description (and so in the g and p packets), and its name
// and id in the register map the server gives the module (the id is its
// index in the board's table).
struct RegisterSlot {
    const char* gdbName;
    const char* mapName;
    uint32_t gdbNumber;
    int32_t id;
};

// The first byte of a refused write of length bytes, found by writing halves
// of it again: tryWrite(offset, count) writes bytes [offset, offset + count)
// and says whether the target took them. None when every piece is taken.
std::optional<uint32_t> FirstRefused(uint32_t length, const std::function<bool(uint32_t, uint32_t)>& tryWrite);

// DiExecGetStatus's causes the tools tell apart.
inline constexpr uint32_t kCauseRunning = gdi::CauseRunning;
inline constexpr uint32_t kCauseBreakpoint = gdi::CauseBreakpoint;
inline constexpr uint32_t kCauseUnknown = gdi::CauseUnknownState;

struct TargetStatus {
    uint32_t cause = 0;  // 0 running, 1 step, 4 breakpoint, 128 halted, 512 stopped
    uint32_t breakpointId = 0;
    std::string message;
};

enum class RunOutcome { Stopped, Cancelled, Failed };

class Target {
public:
    Target(frontend::DiModule& module, const sim::Board& board);

    const sim::Board& Board() const { return board_; }
    // The board's registers in gdb's order (by number), as g and G list them.
    const std::vector<RegisterSlot>& Slots() const { return slots_; }
    int32_t PcId() const { return pcId_; }
    int32_t SpId() const { return spId_; }

    // DiGdiOpen with the board's front-end path and the processor's
    // designator, then the register and memory-space maps.
    bool Open(const std::string& frontEndPath, const std::string& designator, frontend::PollFn poll,
              std::string& error);
    // DiGdiOpen alone, for a caller that sends maps of its own.
    bool OpenInstance(const std::string& frontEndPath, const std::string& designator, frontend::PollFn poll);
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
    // progress (if given) hears the bytes of each block written.
    bool DownloadBlocks(uint64_t address, const uint8_t* bytes, std::size_t count, uint64_t* refused = nullptr,
                        const std::function<void(std::size_t)>& progress = {});
    bool EndDownload();
    void AbortDownload();

    // The whole download of an ELF or Intel HEX file; false with a one-line
    // reason (a refused block names its address). bytes: what was written.
    // Its entry point is where a reset starts the core on a board without a
    // vector table (every one but the M-profile ones).
    bool DownloadImage(const std::string& file, std::string& error, std::size_t& bytes);

    // A breakpoint on the instruction at address (a Thumb one on ARM); the
    // module's id for it.
    std::optional<uint32_t> SetBreakpoint(uint64_t address);
    bool ClearBreakpoint(uint32_t id);
    // Whether a breakpoint set here is at that address.
    bool HasBreakpointAt(uint64_t address) const;

    // Run control. Continue and Step block until the core stops or the poll
    // callback cancels the wait (Cancelled: the core is still running).
    RunOutcome Continue();
    RunOutcome Step(uint32_t count = 1);
    void Cancel();
    bool Stop();
    // DiExecResetChild; then the pc at the downloaded image's entry point,
    // where the core does not take it from a vector table.
    bool Reset();
    // The entry point a reset starts at on such a board: DownloadImage's,
    // or one a caller downloading on its own names.
    void SetEntry(std::optional<uint64_t> entry) { entry_ = entry; }
    std::optional<uint64_t> Entry() const { return entry_; }
    std::optional<TargetStatus> Status();

    // Set by Cancel, cleared when a run starts.
    bool CancelRequested() const { return cancelled_; }
    // What the module answered the last call that changes or asks the
    // run state (open, close, breakpoints, download, run, stop, reset,
    // status).
    uint32_t LastResult() const { return lastResult_; }

private:
    frontend::DiModule& module_;
    const sim::Board& board_;
    std::vector<RegisterSlot> slots_;
    int32_t pcId_;
    int32_t spId_;
    std::optional<uint64_t> entry_;  // of the image DownloadImage wrote last
    bool open_ = false;
    bool cancelled_ = false;
    uint32_t lastResult_ = 0;
    uint32_t readChunk_ = 4096;
    std::map<uint32_t, uint64_t> breakpoints_;  // the module's id: address  // shrinks to what the module delivers in one read
};

}  // namespace frontend
