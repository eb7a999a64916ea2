// A processor of a QEMU machine behind the simulated host's Nexus objects.
//
// The core starts QEMU itself, halted before the first instruction (-S) and
// without a program (the program arrives through the debugger's download,
// as on hardware), with QEMU's gdb stub on a Unix socket in a private
// directory. It then carries the ProcessorCore contract over gdb's remote
// protocol: memory blocks (m/M), registers (p/P where QEMU offers them, g/G
// otherwise), breakpoints (Z0/z0, handed to QEMU only when the processor
// runs: QEMU's step passes over a breakpoint, so a debugger's usual lift,
// step, set again costs nothing), continue (c), pause (the interrupt byte),
// single step (s) and reset (the monitor's system_reset through qRcmd).
// QEMU's step masks interrupts and timers (Qqemu.sstep=7), which keeps a
// debugger's stepi on the program's own instructions; SetStepInterrupts lets
// them run at the first instruction of every step (Qqemu.sstep=1), for a
// watch by stepping that must see interrupt-driven code. The
// run state is read without blocking: a stop reply waiting on the socket
// means the processor halted.
//
// On the ARM boards a semihosting call (bkpt 0xab) halts the processor, as a
// debug probe halts on a bkpt, instead of raising the fault QEMU would take
// it for (QEMU runs without semihosting): the core keeps a breakpoint of its
// own in QEMU on every bkpt 0xab halfword the debugger writes (a download or
// any memory write), which the debugger never sees as one of its
// breakpoints. A run stops on the call as on the in-process core, and the
// debugger carries it out or reports the stop; a step that would execute the
// call fails there instead, the PC left on it.
//
// QEMU's life is the core's: it is killed when the core is destroyed, when
// anything goes wrong with it, and (PR_SET_PDEATHSIG) when the thread that
// created the core ends, the program dying by a signal included. A QEMU that
// exits or does not answer within the reply time-out makes the failing call,
// and every later one, throw CoreFailure naming the machine and QEMU's last
// lines on standard error; the Nexus object answers a failing status.
//
// All methods are called on the host's main thread only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sim/Boards.h"
#include "sim/ProcessorCore.h"
#include "sim/qemu/RspClient.h"

namespace sim {

class QemuCore final : public ProcessorCore {
public:
    struct Options {
        // How long any one answer of QEMU may take.
        std::chrono::milliseconds replyTimeout{10000};
        // The QEMU program; empty: the board's, found on the PATH.
        std::string program;
        // How long QEMU may take to bring its gdb stub up. A QEMU that is
        // merely slow (a loaded machine gives it little processor time) is
        // waited for: it fails when it exits, when it has spent this much of
        // its own processor time without the stub answering, or, a last
        // resort for one that hangs without running, after the wall-clock
        // limit.
        std::chrono::milliseconds startCpuBudget{30000};
        std::chrono::milliseconds startWallLimit{300000};
        // Where the board's first serial port goes: -1 (the default) is this
        // program's standard output; otherwise a file descriptor that QEMU
        // writes to.
        int consoleFd = -1;
        // How long one call goes on with a long step before it reports the
        // processor running (and a pause can end the step).
        std::chrono::milliseconds stepSlice{50};
    };

    static constexpr uint32_t kBreakpointSpace = 1;
    static constexpr uint32_t kTransferLimit = 1024;
    // Steps of a Step call that are done before it returns, however long
    // they take; a longer step may go on while the core reports running.
    static constexpr uint32_t kInlineSteps = 16;

    // Starts QEMU for a board of kind CoreKind::Qemu and connects to its gdb
    // stub. Throws CoreFailure when QEMU cannot be started or does not answer.
    explicit QemuCore(const Board& board, Options options);
    explicit QemuCore(const Board& board) : QemuCore(board, Options{}) {}
    ~QemuCore() override;
    QemuCore(const QemuCore&) = delete;
    QemuCore& operator=(const QemuCore&) = delete;

    // QEMU's process id (-1 once it has been ended), and the message of the
    // failure that ended it (empty while it lives).
    pid_t ProcessId() const { return pid_; }
    // Packets sent to QEMU's stub so far.
    uint64_t PacketsSent() const { return rsp_.PacketsSent(); }
    std::string FailureMessage() const { return failure_; }
    const Board& board() const { return board_; }

    void Reset() override;
    void Pause() override;
    void Continue() override;
    void Step(uint32_t count) override;
    // QEMU lets the guest take its own exceptions (a step into a fault ends
    // in the handler, a trap like any step); a step that QEMU ends with any
    // other signal (SIGSEGV, SIGBUS, SIGILL, SIGABRT, the machine's shutdown)
    // did not complete, and the host's step fails for it.
    bool StepFaulted() override { return stepFaulted_; }
    // Whether a step lets a pending interrupt in and the timers run (off at
    // the start, as QEMU steps for gdb). With it on, a pending interrupt is
    // taken at the first instruction of a Step only: one step never goes on
    // into a handler after other instructions. Any thread may set it.
    void SetStepInterrupts(bool on) { stepInterrupts_.store(on, std::memory_order_relaxed); }

    bool IsHalted() override;
    bool IsNotStarted() override;
    bool IsRunning() override;

    int32_t RegisterCount() override;
    std::string RegisterName(int32_t index) override;
    int32_t PcIndex() override;
    uint32_t ReadRegister(int32_t index) override;
    void WriteRegister(int32_t index, uint32_t value) override;
    // The register as QEMU holds it now, asked again whatever was read or
    // written since the stop (ReadRegister may answer from what it knows).
    uint32_t ReadRegisterFromMachine(int32_t index);

    // Space 0 "MEMORY" reaches every address QEMU answers at; the others are
    // the board's regions by absolute address. One byte per unit.
    int32_t MemorySpaceCount() override;
    std::string MemorySpaceName(int32_t index) override;
    uint32_t TransferLimit(int32_t index) override;
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool BeginDownload(int32_t index) override;
    bool EndDownload(int32_t index) override;

    // One breakpoint space (id 1). On Thumb boards an address with bit 0 set
    // stops at the even instruction address.
    std::optional<uint32_t> BreakpointSpaceId() override;
    bool HasBreakpoint(uint32_t spaceId, uint64_t address) override;
    bool AddBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveAllBreakpoints() override;

private:
    enum class RunState { NotStarted, Halted, Running };
    class Lease;

    void Start();
    void Connect(const std::string& socketPath);
    // Ends QEMU, remembers why and throws CoreFailure.
    [[noreturn]] void Fail(const std::string& what);
    void CheckUsable();
    std::string StderrTail() const;
    void Kill();
    // Runs fn, turning a protocol error into Fail.
    template <class Fn>
    auto Guard(Fn&& fn) -> decltype(fn());

    // The next stop reply; its signal number. Skips console output.
    int WaitStop(std::chrono::milliseconds timeout);
    // QEMU's step setting (Qqemu.sstep), sent only when it changes.
    static constexpr uint32_t kStepEnable = 1, kStepNoIrq = 2, kStepNoTimer = 4;
    void SetStepFlags(uint32_t flags);
    // A running core whose stop reply has arrived becomes halted.
    void PollRunState();
    // Halts a running core; true when it was running (and should resume).
    // A long step in progress is left to go on.
    bool Halt();
    // Steps on for one slice of a long step; the core halts when the count
    // is done, a breakpoint is next or the processor faulted.
    void AdvanceSteps(uint32_t atLeast);
    // Ends a long step where it is.
    void EndSteps();

    std::vector<uint8_t> ReadGprs();
    // Where each of the board's registers sits in QEMU's g reply, worked out
    // once QEMU has said whether it gave a target description.
    void PlanRegisterBlock();
    // Reads every register the g reply carries into the cache; false when
    // the reply is not laid out as planned (the registers then go through p
    // one at a time).
    bool FillRegisterCache();
    // The value QEMU keeps for a write of value to reg, when it is sure to
    // be the value written.
    std::optional<uint32_t> StoredAsWritten(const BoardRegister& reg, uint32_t value) const;
    uint32_t Decode(const uint8_t* bytes) const;
    void Encode(uint32_t value, uint8_t* bytes) const;
    uint64_t HardwareAddress(uint64_t address) const;
    // Z0 or z0 at a hardware address; false when QEMU refused it.
    bool SetStubBreakpoint(uint64_t at, bool insert);
    // Gives QEMU the breakpoints the processor has now (the debugger's and
    // the calls'), before it runs.
    void SyncStubBreakpoints();
    // After a write of count bytes at address: the halfwords it touched
    // gain or lose their hidden breakpoint (given to QEMU at the next run).
    void TrackCalls(uint64_t address, const uint8_t* bytes, uint32_t count);
    // The PC is on a call the core halts at.
    bool AtHiddenCall();
    bool InsideSpace(int32_t index, uint64_t address, uint32_t count) const;
    bool ReadMemory(uint64_t address, uint8_t* bytes, uint32_t count);
    bool WriteMemory(uint64_t address, const uint8_t* bytes, uint32_t count);

    const Board& board_;
    Options options_;
    pid_t pid_ = -1;
    std::string directory_;  // private: the socket and QEMU's standard error
    RspClient rsp_;
    bool registerPackets_ = false;  // p/P work (QEMU gave a target description)
    RunState state_ = RunState::NotStarted;
    bool stepFaulted_ = false;  // the last Step ended on a fault signal
    std::atomic<bool> stepInterrupts_{false};
    bool stepFlagsKnown_ = false;  // QEMU takes Qqemu.sstep
    uint32_t stepFlags_ = 0;       // as last set; 0: QEMU's default, not set by us
    uint32_t stepsLeft_ = 0;    // of a long step, while it reports running
    bool firstOfStep_ = false;  // the next instruction is a Step's first
    // Registers read since the processor last halted (by gdb number); empty
    // while it runs.
    std::unordered_map<uint32_t, uint32_t> registerCache_;
    // The board's registers in QEMU's g reply: gdb number and byte offset;
    // and the reply's length, exact with a target description (registers
    // packed in number order), at least that without one (4 bytes a number).
    std::vector<std::pair<uint32_t, std::size_t>> blockLayout_;
    std::size_t blockLength_ = 0;
    bool blockExact_ = false;
    bool blockUsable_ = true;  // cleared by a g reply of another length
    std::string failure_;
    std::set<uint64_t> breakpoints_;         // as added
    std::map<uint64_t, int> inserted_;       // hardware address -> breakpoints there
    // The semihosting calls the debugger wrote, each with a breakpoint in
    // QEMU (one Z0 per address, shared with the debugger's own there).
    std::set<uint64_t> calls_;
    // The breakpoints QEMU holds (hardware addresses).
    std::set<uint64_t> held_;
};

}  // namespace sim
