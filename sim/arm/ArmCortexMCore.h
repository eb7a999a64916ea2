// A Cortex-M3 processor that executes real Thumb code.
//
// The instructions are executed by the Unicorn CPU emulator. The core owns one
// emulator instance with two memory regions (FLASH and RAM) and presents them,
// the core registers and one breakpoint space through the ProcessorCore
// interface.
//
// Threading: every public method is called on the host's main thread. While
// the program runs freely (after Continue) the emulator is driven by a worker
// thread that the core starts and joins itself, so the run-state queries keep
// answering while the program executes. At any moment the emulator belongs to
// exactly one thread: the worker while it runs, the main thread otherwise.
// When the main thread needs the emulator while the program runs (register or
// memory access), it parks the worker, does the access and lets it go on.
#pragma once

#include "sim/ProcessorCore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct uc_struct;  // Unicorn's engine type; kept out of this header.

namespace sim {

class ArmCortexMCore final : public ProcessorCore {
public:
    // The memory map. Addresses in ReadBlock/WriteBlock are absolute bus
    // addresses, one byte per buffer word.
    static constexpr uint64_t kFlashBase = 0x00000000;
    static constexpr uint64_t kFlashSize = 256 * 1024;
    static constexpr uint64_t kRamBase = 0x20000000;
    static constexpr uint64_t kRamSize = 64 * 1024;

    static constexpr int32_t kMemorySpace = 0;  // the whole bus
    static constexpr int32_t kFlashSpace = 1;
    static constexpr int32_t kRamSpace = 2;
    static constexpr uint32_t kBreakpointSpace = 1;

    // Why the core last stopped.
    enum class StopReason {
        None,        // Never ran since construction or the last Reset.
        Breakpoint,  // The PC reached a breakpoint; that instruction has not executed.
        Pause,       // Pause was called.
        Step,        // Step executed its instructions.
        Fault,       // The emulator refused to go on (unmapped access, bad instruction...).
    };

    // Opens the emulator and maps empty memory. The core is "not started"
    // with all registers zero until Reset loads them from the vector table.
    // Throws std::runtime_error if the emulator cannot be set up.
    ArmCortexMCore();
    ~ArmCortexMCore() override;

    ArmCortexMCore(const ArmCortexMCore&) = delete;
    ArmCortexMCore& operator=(const ArmCortexMCore&) = delete;

    // Run control. Breakpoints behave as on silicon: a run stops before
    // executing an instruction that carries a breakpoint, including the one
    // it resumes from, so Continue on a breakpoint stops again at once.
    // Step(count) executes its first instruction even if it carries a
    // breakpoint (that is how a debugger steps off one) and stops before any
    // later instruction that carries one, or after count instructions. A
    // step of up to kInlineStepLimit instructions runs inside the call,
    // which returns halted; a longer one runs like Continue: the call returns
    // with the core running, and it halts when the count is done (or at a
    // breakpoint, or on Pause).
    static constexpr uint32_t kInlineStepLimit = 4096;
    void Reset() override;
    void Pause() override;
    void Continue() override;
    void Step(uint32_t count) override;
    // The last Step ended on a fault (StopReason::Fault).
    bool StepFaulted() override;

    // The three states are exclusive: not started (after construction or
    // Reset, until the first Continue or Step), running, halted.
    bool IsHalted() override;
    bool IsNotStarted() override;
    bool IsRunning() override;

    // R0..R12, SP, LR, PC, XPSR. The PC reads as the even instruction address.
    int32_t RegisterCount() override;
    std::string RegisterName(int32_t index) override;
    int32_t PcIndex() override;
    uint32_t ReadRegister(int32_t index) override;
    void WriteRegister(int32_t index, uint32_t value) override;

    // Space 0 "MEMORY" (the whole bus), 1 "FLASH", 2 "RAM", by absolute
    // address, each with a transfer limit of kTransferLimit units. Like a
    // bus, a space answers only inside its regions: a block that touches any
    // other address fails as a whole (false), reads nothing into the buffer
    // and writes nothing. A block of zero units touches nothing and succeeds.
    // Writes reach FLASH too (as a debugger's download does), and code that
    // already ran from the written range runs anew.
    static constexpr uint32_t kTransferLimit = 1024;
    int32_t MemorySpaceCount() override;
    std::string MemorySpaceName(int32_t index) override;
    uint32_t TransferLimit(int32_t index) override;
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool BeginDownload(int32_t index) override;
    bool EndDownload(int32_t index) override;

    // One breakpoint space (id 1). An address with the Thumb bit set stops at
    // the even instruction address.
    std::optional<uint32_t> BreakpointSpaceId() override;
    bool HasBreakpoint(uint32_t spaceId, uint64_t address) override;
    bool AddBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveAllBreakpoints() override;

    // Diagnostics for hosts and tests: why the core last stopped, and the
    // emulator's message when that was a fault (empty otherwise).
    StopReason LastStopReason();
    std::string LastFaultMessage();

private:
    enum class RunState { NotStarted, Halted, Running };

    struct EngineCloser {
        void operator()(uc_struct* engine) const noexcept;
    };
    using Engine = std::unique_ptr<uc_struct, EngineCloser>;

    // Emulator callback for every instruction, before it executes.
    static void OnInstruction(uc_struct* engine, uint64_t address, uint32_t size, void* self);
    void HandleInstruction(uint64_t address);
    bool BreakpointAt(uint32_t address);
    void StopHere(StopReason reason);

    // Runs the emulator on the calling thread until the instruction hook or a
    // fault stops it. stepBudget_ selects stepping, otherwise it free-runs.
    StopReason RunUntilStopped();

    void StartWorker();
    // Stops the worker (if any) and joins it. Returns true if it was still
    // running and stopped because of this request.
    bool StopWorker();

    // Hands the emulator to the main thread for one register or memory
    // access. A running program is parked for the access and resumed
    // afterwards, exactly where it was.
    class EngineLease;

    uint32_t ReadPc();

    // The host memory behind a block of a space: null unless the whole block
    // lies inside one of the space's regions.
    uint8_t* HostBytes(int32_t index, uint64_t address, uint32_t count);

    // The emulator executes straight from this memory (mapped with
    // uc_mem_map_ptr), and the debugger's block transfers copy to and from it
    // directly. Declared before engine_ so that it outlives the emulator.
    struct PageFree {
        void operator()(uint8_t* bytes) const noexcept;
    };
    using HostMemory = std::unique_ptr<uint8_t[], PageFree>;
    HostMemory flash_;
    HostMemory ram_;

    Engine engine_;

    // How long Continue waits for a run to end by itself before it returns.
    static constexpr std::chrono::microseconds kShortRun{30};

    // The worker's thread, started at the first run and kept: a run starts
    // and ends without creating or ending a thread. Used like std::thread:
    // Run starts the job, joinable() is true from then until join(), which
    // waits for the job to end. Run and join are for the main thread only.
    class ReusableThread {
    public:
        ReusableThread() = default;
        ReusableThread(const ReusableThread&) = delete;
        ReusableThread& operator=(const ReusableThread&) = delete;
        ~ReusableThread();
        void Run(std::function<void()> job);
        bool joinable() const { return started_; }
        void join();

    private:
        void Loop();
        std::thread thread_;
        std::mutex lock_;
        std::condition_variable changed_;
        std::function<void()> job_;  // guarded by lock_, as are the two below
        bool pending_ = false;       // job_ is waiting for the thread
        bool busy_ = false;          // the thread runs a job
        bool exit_ = false;
        bool started_ = false;  // main thread only
    };

    // --- Main thread only.
    ReusableThread worker_;

    // --- Shared between the main thread and the worker.
    std::atomic<RunState> state_{RunState::NotStarted};
    std::atomic<bool> stopRequested_{false};

    std::mutex breakpointMutex_;
    std::set<uint64_t> breakpoints_;  // As added, guarded by breakpointMutex_.
    std::atomic<uint64_t> breakpointGeneration_{0};

    // --- Owned by whichever thread currently drives the emulator. The main
    // thread hands them over by starting the worker and takes them back by
    // joining it, so no further locking is needed.
    std::optional<uint64_t> stepBudget_;        // Instructions Step may still run.
    bool stepStarted_ = false;                  // Step has passed its first instruction.
    std::optional<StopReason> hookStop_;        // Set by the hook when it stops the run.
    std::vector<uint32_t> activeBreakpoints_;   // Even addresses, sorted.
    uint64_t activeGeneration_ = 0;
    StopReason lastStop_ = StopReason::None;
    std::string lastFault_;
    bool stepFaulted_ = false;  // Main thread only: set by Step, cleared by any other run or a reset.
};

}  // namespace sim
