// An 8051 behind the simulated host's Nexus objects: the s51 simulator of
// sdcc-ucsim, a program of its own, driven through its command console.
//
// The core starts s51 itself with its console on a pseudo-terminal whose
// other end the core holds (s51 -P -b -c /dev/pts/N): nothing listens on a
// socket, so no other machine reaches the simulator. -P ends every answer
// with a NUL byte, -b leaves the colours out (any that come are removed).
// s51 echoes each command it reads before its answer; answers are taken by
// what they say, not where they stand, so the echo does no harm.
//
// The console costs time: s51 looks for input every 100 ms and reads at
// most 127 bytes at a time (a longer write in one go garbles its answers).
// So the core sends nothing it can keep for later: breakpoints, register
// and memory writes, a reset and a step wait in a queue and go together
// with the next command that needs an answer (a read, a run), in one write
// of at most 127 bytes or, when they do not fit, as a command file that
// s51's exec runs: one round trip either way. What s51 answers about a
// stop (the PC) and what a read brings (memory in 256-byte pages, the SFRs
// and the register banks with them) is kept until the next run, step or
// reset; code memory, which only the debugger writes, is kept for good.
//
// s51 stops a run when any input arrives: Pause sends "stop", and an access
// while the program runs stops it, is made, and runs it on.
//
// s51's life is the core's: it is killed when the core is destroyed, when
// anything goes wrong with it, and (PR_SET_PDEATHSIG) when the thread that
// created the core ends. An s51 that ends or does not answer within the
// reply time-out makes the failing call, and every later one, throw
// CoreFailure with its last lines of output.
//
// All methods are called on the host's main thread only.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/ProcessorCore.h"

namespace sim {

class S51Core final : public ProcessorCore {
public:
    struct Options {
        // How long any one answer of s51 may take.
        std::chrono::milliseconds replyTimeout{5000};
        // The simulator; empty: s51 on the PATH.
        std::string program;
        // s51's colours off (-b); with them on, the core removes them.
        bool blackAndWhite = true;
    };

    enum Space : int32_t { kCode, kIdata, kSfr, kXdata, kSpaceCount };
    enum Register : int32_t { PC, A, B, PSW, SP, DPTR, R0, R1, R2, R3, R4, R5, R6, R7, kRegisterCount };
    static constexpr uint32_t kBreakpointSpace = 1;
    static constexpr uint32_t kTransferLimit = 1024;
    // A step of more than this many instructions runs like Continue.
    static constexpr uint32_t kInlineStepLimit = 4096;

    // Starts s51 and waits for its console. Throws CoreFailure when it
    // cannot be started or does not answer.
    explicit S51Core(Options options);
    S51Core() : S51Core(Options{}) {}
    ~S51Core() override;
    S51Core(const S51Core&) = delete;
    S51Core& operator=(const S51Core&) = delete;

    // s51's process id (-1 once it has been ended), and the message of the
    // failure that ended it (empty while it lives).
    pid_t ProcessId() const { return pid_; }
    std::string FailureMessage() const { return failure_; }
    // One round trip of a command that does nothing (the console's floor).
    std::chrono::microseconds Ping();
    // Round trips to s51 since the core was made.
    uint64_t RoundTrips() const { return roundTrips_; }

    // Run control. A breakpoint works as a one-byte trap instruction put in
    // place of the instruction's first byte, the way these families' debug
    // hardware reports it: a run that reaches it stops with the instruction
    // not executed and the PC one past the breakpoint; the debugger puts the
    // PC back on it (the module does, off the ARM family); a run from a
    // breakpoint stops on it at once. A step executes its first
    // instruction whatever it carries and stops on a later one that carries
    // a breakpoint (PC on it). A continue that follows a step at once runs
    // as one long step of s51's, which stops of itself after two thousand
    // million instructions (some minutes).
    void Reset() override;
    void Pause() override;
    void Continue() override;
    void Step(uint32_t count) override;

    bool IsHalted() override;
    bool IsNotStarted() override;
    bool IsRunning() override;

    // PC, A, B, PSW, SP, DPTR (DPH:DPL), R0..R7 of the bank PSW selects
    // (read from and written to internal RAM: s51 crashes on its own
    // register commands). Each keeps only its own width of a write.
    int32_t RegisterCount() override;
    std::string RegisterName(int32_t index) override;
    int32_t PcIndex() override;
    uint32_t ReadRegister(int32_t index) override;
    void WriteRegister(int32_t index, uint32_t value) override;

    // CODE (64 KiB), IDATA (internal RAM 0x00..0xff), SFR (0x80..0xff),
    // XDATA (64 KiB), one byte per unit, by address. A block outside its
    // space fails as a whole and touches nothing.
    int32_t MemorySpaceCount() override;
    std::string MemorySpaceName(int32_t index) override;
    uint32_t TransferLimit(int32_t index) override;
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool BeginDownload(int32_t index) override;
    // Sends what the download wrote.
    bool EndDownload(int32_t index) override;

    // One breakpoint space (id 1); addresses 0..0xffff.
    std::optional<uint32_t> BreakpointSpaceId() override;
    bool HasBreakpoint(uint32_t spaceId, uint64_t address) override;
    bool AddBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveAllBreakpoints() override;

private:
    enum class RunState { NotStarted, Halted, Running };
    class Lease;
    using Page = std::array<uint8_t, 256>;

    // What an answer still to come is for. Answers arrive in the order of
    // the commands; each is handed to its expectation's handler.
    struct Expected {
        std::string command;
        std::function<void(const std::string& answer)> handle;
        bool stop = false;  // a run's: it ends when the program stops
    };

    void Start();
    [[noreturn]] void Fail(const std::string& what);
    void CheckUsable();
    std::string OutputTail() const;
    void Kill();

    // Reads what s51 has sent, waiting until the deadline when block is
    // set and answers are still expected; hands complete answers on.
    void Receive(bool block);
    // Waits until every expected answer has come.
    void Drain();
    // Sends the queued commands and then these (one write, or a command
    // file and one write) with their expectations, and waits for all but a
    // run's answer.
    void Send(std::vector<Expected> commands);
    void Flush() { Send({}); }
    void Queue(std::string command);
    // A stop's answer: the PC and why; false when it is none.
    bool TakeStop(const std::string& answer);
    // The answer that ends a run (or a long step).
    void EndRun(const std::string& answer, bool run);

    void PollRunState();
    // Stops a running program; true when it was running because of a run
    // of ours (and should run on).
    bool Halt();
    void Forget();  // what a run, step or reset changes

    const Page& CachedPage(int32_t space, uint32_t page);
    // A dump of the pages first..last of a space into the cache.
    Expected PageRequest(int32_t space, uint32_t first, uint32_t last);
    uint8_t ByteAt(int32_t space, uint32_t address);
    void Store(int32_t space, uint32_t address, const uint8_t* bytes, uint32_t count);

    Options options_;
    pid_t pid_ = -1;
    int console_ = -1;      // the pseudo-terminal's end we hold
    std::string directory_; // private: command files and s51's output
    std::string failure_;
    std::string input_;     // received, not yet a whole answer
    std::deque<Expected> expected_;
    std::vector<std::string> queued_;
    uint64_t roundTrips_ = 0;
    // The last command queued that decides the PC is a step: its answer
    // tells the PC (a written PC or a reset after it would not).
    bool stepDecidesPc_ = false;

    RunState state_ = RunState::NotStarted;
    bool stopRequested_ = false;  // "stop" sent to a running program
    bool lastStopByUser_ = false;  // the last stop was a "stop" of ours
    bool lastStopAtBreakpoint_ = false;
    std::optional<uint32_t> pc_;
    std::map<uint32_t, Page> pages_[kSpaceCount];  // by page number (address / 256)
    std::set<uint16_t> breakpoints_;
};

}  // namespace sim
