// A Z80 processor that executes real Z80 code, in process.
//
// The instructions are executed by libz80ex, which models the CPU only:
// every register (the shadow set, I, R, IM and the interrupt flip-flops
// included), memory and I/O through callbacks. This core adds the rest of a
// small board around it: 64 KiB of RAM, 256 I/O ports that keep what was
// last written to them (the port address is the low byte of the bus
// address, as most Z80 boards decode it), breakpoints and a run loop. No
// device raises an interrupt.
//
// Threading, as in the Cortex-M core: every public method is called on the
// host's main thread. A free run (Continue, or a long Step) executes on a
// worker thread that the core keeps; the run-state queries keep answering
// while it runs. The CPU and the memory belong to exactly one thread at a
// time: the worker while it runs, the main thread otherwise. A register or
// memory access while the program runs parks the worker for the access and
// lets it go on where it was. The worker looks for a stop request before
// every instruction, so Pause returns within microseconds.
#pragma once

#include "sim/ProcessorCore.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

struct _z80_cpu_context;  // libz80ex's CPU; kept out of this header.

namespace sim {

class Z80Core final : public ProcessorCore {
public:
    static constexpr int32_t kMemorySpace = 0;  // "MEMORY": 64 KiB
    static constexpr int32_t kIoSpace = 1;      // "IO": ports 0x00..0xff
    static constexpr uint32_t kMemorySize = 0x10000;
    static constexpr uint32_t kPortCount = 0x100;
    static constexpr uint32_t kBreakpointSpace = 1;
    static constexpr uint32_t kTransferLimit = 1024;

    // Register indices, the board table's order.
    enum Register : int32_t {
        AF, BC, DE, HL, IX, IY, SP, PC, AF_, BC_, DE_, HL_, I, R, IM, IFF1, IFF2, kRegisterCount
    };

    enum class StopReason {
        None,        // Never ran since construction or the last Reset.
        Breakpoint,  // A breakpoint stopped the program (a run: the PC is one past it).
        Pause,       // Pause was called.
        Step,        // Step executed its instructions.
    };

    // Memory and ports start zeroed; the CPU is reset (PC 0) and "not
    // started". Throws std::runtime_error if libz80ex cannot create a CPU.
    Z80Core();
    ~Z80Core() override;
    Z80Core(const Z80Core&) = delete;
    Z80Core& operator=(const Z80Core&) = delete;

    // Run control. A breakpoint works as a one-byte trap instruction put in
    // place of the instruction's first byte, the way these families' debug
    // hardware reports it: a run that reaches it (the one it resumes from
    // included) stops with the instruction not executed and the PC one past
    // the breakpoint; the debugger puts the PC back on it (the module does,
    // off the ARM family). Step(count) executes its first instruction even
    // if it carries a breakpoint and stops on any later one that does (PC on
    // it, as stepping one instruction at a time would), or after count
    // instructions. An instruction is whole:
    // its DD, FD, CB and ED prefixes are executed with it. A step of up to
    // kInlineStepLimit instructions runs inside the call; a longer one runs
    // like Continue and halts by itself when done.
    //
    // A HALT instruction holds the CPU as on silicon: it runs, executing
    // nothing, until Pause (no interrupt ever comes). libz80ex executes the
    // HALT again and again where it is, so a written PC goes on from there.
    //
    // Reset is libz80ex's: PC, I, R, IM and the interrupt flip-flops go to
    // 0, the other registers (SP included) to 0xffff.
    static constexpr uint32_t kInlineStepLimit = 4096;
    void Reset() override;
    void Pause() override;
    void Continue() override;
    void Step(uint32_t count) override;

    bool IsHalted() override;
    bool IsNotStarted() override;
    bool IsRunning() override;

    // AF BC DE HL IX IY SP PC AF' BC' DE' HL' I R IM IFF1 IFF2. Each keeps
    // only its own width of a write (16, 8 or 1 bits); IM takes 0, 1 or 2
    // and ignores any other value.
    int32_t RegisterCount() override;
    std::string RegisterName(int32_t index) override;
    int32_t PcIndex() override;
    uint32_t ReadRegister(int32_t index) override;
    void WriteRegister(int32_t index, uint32_t value) override;

    // One byte per unit, by address from 0 in each space. A block that
    // reaches past the end of its space fails as a whole and touches
    // nothing; a block of zero units touches nothing and succeeds.
    int32_t MemorySpaceCount() override;
    std::string MemorySpaceName(int32_t index) override;
    uint32_t TransferLimit(int32_t index) override;
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool BeginDownload(int32_t index) override;
    bool EndDownload(int32_t index) override;

    // One breakpoint space (id 1); addresses 0..0xffff.
    std::optional<uint32_t> BreakpointSpaceId() override;
    bool HasBreakpoint(uint32_t spaceId, uint64_t address) override;
    bool AddBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveAllBreakpoints() override;

    // Diagnostics for hosts, tests and benchmarks: why the core last
    // stopped, and how many instructions it has executed since it was made.
    StopReason LastStopReason();
    uint64_t InstructionCount();

private:
    enum class RunState { NotStarted, Halted, Running };
    class Lease;

    struct CpuCloser {
        void operator()(_z80_cpu_context* cpu) const noexcept;
    };

    // libz80ex's callbacks.
    static uint8_t OnMemoryRead(_z80_cpu_context*, uint16_t address, int m1, void* self);
    static void OnMemoryWrite(_z80_cpu_context*, uint16_t address, uint8_t value, void* self);
    static uint8_t OnPortRead(_z80_cpu_context*, uint16_t port, void* self);
    static void OnPortWrite(_z80_cpu_context*, uint16_t port, uint8_t value, void* self);
    static uint8_t OnInterruptRead(_z80_cpu_context*, void* self);

    // Executes one whole instruction, prefixes included.
    void ExecuteInstruction();
    // Runs on the calling thread until a breakpoint, the end of the step
    // budget or a stop request.
    StopReason RunUntilStopped();
    void StartWorker();
    // Stops the worker if it runs and waits for it; true when it was still
    // running and stopped because of this request.
    bool StopWorker();
    void WorkerLoop();

    uint8_t* Bytes(int32_t index, uint64_t address, uint32_t count);

    std::unique_ptr<std::array<uint8_t, kMemorySize>> memory_;
    std::array<uint8_t, kPortCount> ports_{};
    std::unique_ptr<_z80_cpu_context, CpuCloser> cpu_;

    // Breakpoints: the main thread's set, and a flag per address that the
    // run loop reads before every instruction.
    std::set<uint16_t> breakpoints_;
    std::unique_ptr<std::array<std::atomic<uint8_t>, kMemorySize>> breakAt_;

    // The worker: started at the first run and kept.
    std::thread worker_;
    std::mutex workerLock_;
    std::condition_variable workerChanged_;
    bool runRequested_ = false;  // guarded by workerLock_, as are the two below
    bool runBusy_ = false;
    bool exit_ = false;

    std::atomic<RunState> state_{RunState::NotStarted};
    std::atomic<bool> stopRequested_{false};
    std::atomic<uint64_t> instructions_{0};

    // Owned by whichever thread drives the CPU (handed over by starting
    // and stopping the worker).
    std::optional<uint64_t> stepBudget_;
    bool stepStarted_ = false;  // the step has executed its first instruction
    StopReason lastStop_ = StopReason::None;
};

}  // namespace sim
