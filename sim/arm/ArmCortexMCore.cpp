#include "sim/arm/ArmCortexMCore.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <chrono>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#if UC_API_MAJOR < 2
#error "ArmCortexMCore needs Unicorn 2 (uc_ctl, CPU models, exits)"
#endif

namespace sim {

namespace {

struct RegisterInfo {
    const char* name;
    int unicornId;
};

constexpr std::array<RegisterInfo, 17> kRegisters{{
    {"R0", UC_ARM_REG_R0},
    {"R1", UC_ARM_REG_R1},
    {"R2", UC_ARM_REG_R2},
    {"R3", UC_ARM_REG_R3},
    {"R4", UC_ARM_REG_R4},
    {"R5", UC_ARM_REG_R5},
    {"R6", UC_ARM_REG_R6},
    {"R7", UC_ARM_REG_R7},
    {"R8", UC_ARM_REG_R8},
    {"R9", UC_ARM_REG_R9},
    {"R10", UC_ARM_REG_R10},
    {"R11", UC_ARM_REG_R11},
    {"R12", UC_ARM_REG_R12},
    {"SP", UC_ARM_REG_SP},
    {"LR", UC_ARM_REG_LR},
    {"PC", UC_ARM_REG_PC},
    {"XPSR", UC_ARM_REG_XPSR},
}};

constexpr int32_t kPcIndex = 15;

// Reset values that the vector table does not provide.
constexpr uint32_t kResetXpsr = 0x01000000;  // Only the Thumb bit.
constexpr uint32_t kResetLr = 0xFFFFFFFF;

void Check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK) {
        throw std::runtime_error(std::string("Unicorn: ") + what + ": " + uc_strerror(err));
    }
}

constexpr std::size_t kPageSize = 4096;

uint8_t* AllocatePages(std::size_t size)
{
    void* bytes = std::aligned_alloc(kPageSize, size);
    if (bytes == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(bytes, 0, size);
    return static_cast<uint8_t*>(bytes);
}

}  // namespace

void ArmCortexMCore::EngineCloser::operator()(uc_struct* engine) const noexcept
{
    uc_close(engine);
}

void ArmCortexMCore::PageFree::operator()(uint8_t* bytes) const noexcept
{
    std::free(bytes);
}

class ArmCortexMCore::EngineLease {
public:
    explicit EngineLease(ArmCortexMCore& core) : core_(core)
    {
        if (core_.state_.load() == RunState::Running) {
            resume_ = core_.StopWorker();
        } else if (core_.worker_.joinable()) {
            // The worker stopped by itself (breakpoint, fault) but has not
            // been joined yet.
            core_.worker_.join();
        }
    }
    ~EngineLease()
    {
        if (resume_) {
            core_.StartWorker();
        }
    }
    EngineLease(const EngineLease&) = delete;
    EngineLease& operator=(const EngineLease&) = delete;

    uc_struct* engine() const { return core_.engine_.get(); }

private:
    ArmCortexMCore& core_;
    bool resume_ = false;
};

ArmCortexMCore::ArmCortexMCore()
    : flash_(AllocatePages(kFlashSize)), ram_(AllocatePages(kRamSize))
{
    uc_struct* raw = nullptr;
    Check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &raw), "open");
    engine_.reset(raw);
    uc_struct* uc = engine_.get();

    // The CPU model must be chosen before anything else touches the CPU,
    // because the first register or memory call instantiates it.
    Check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M3), "select Cortex-M3");

    // FLASH is not writable by the program (a store there is a fault, as on
    // a real part); the debugger still writes it through WriteBlock. Both
    // regions live in memory the core owns: the debugger's transfers copy
    // to and from it directly. (Writing FLASH with uc_mem_write would make
    // the emulator lift and restore the write protection, rebuilding its
    // whole memory map twice per block.)
    Check(uc_mem_map_ptr(uc, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.get()), "map FLASH");
    Check(uc_mem_map_ptr(uc, kRamBase, kRamSize, UC_PROT_ALL, ram_.get()), "map RAM");

    // With exits enabled and no exit addresses, uc_emu_start ignores its
    // "until" argument: only the instruction hook, a fault or the CPU going
    // idle (WFI) ends a run.
    Check(uc_ctl_exits_enable(uc), "enable exits");
    Check(uc_ctl_set_exits(uc, nullptr, static_cast<size_t>(0)), "clear exits");

    // One hook on every instruction gives exact stops: it runs before the
    // instruction, and stopping there leaves the PC on it, not executed.
    uc_hook hook = 0;
    Check(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&OnInstruction), this,
                      static_cast<uint64_t>(1), static_cast<uint64_t>(0)),
          "add instruction hook");

    // The emulator starts outside Thumb state; a Cortex-M never leaves it.
    const uint32_t thumbAtZero = 1u;
    uc_reg_write(uc, UC_ARM_REG_PC, &thumbAtZero);
}

ArmCortexMCore::~ArmCortexMCore()
{
    StopWorker();
}

// --- Run control -----------------------------------------------------------

void ArmCortexMCore::Reset()
{
    StopWorker();
    uc_struct* uc = engine_.get();

    // The first two words of the vector table, little-endian.
    std::array<uint32_t, 2> vectors{};
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        const uint8_t* word = flash_.get() + 4 * i;
        vectors[i] = word[0] | (word[1] << 8) | (word[2] << 16) | (static_cast<uint32_t>(word[3]) << 24);
    }

    const uint32_t zero = 0;
    for (int32_t i = 0; i <= 12; ++i) {
        uc_reg_write(uc, kRegisters[i].unicornId, &zero);
    }
    // Thread mode on the main stack, so SP below is the MSP.
    uc_reg_write(uc, UC_ARM_REG_CONTROL, &zero);
    uc_reg_write(uc, UC_ARM_REG_XPSR, &kResetXpsr);
    uc_reg_write(uc, UC_ARM_REG_LR, &kResetLr);
    uc_reg_write(uc, UC_ARM_REG_SP, &vectors[0]);
    // Writing the PC with bit 0 set keeps the emulator in Thumb state; the
    // register itself holds the even address.
    const uint32_t pc = vectors[1] | 1u;
    uc_reg_write(uc, UC_ARM_REG_PC, &pc);

    stepBudget_.reset();
    stepFaulted_ = false;
    lastStop_ = StopReason::None;
    lastFault_.clear();
    state_.store(RunState::NotStarted);
}

void ArmCortexMCore::Pause()
{
    StopWorker();
}

void ArmCortexMCore::Continue()
{
    if (state_.load() == RunState::Running) {
        return;
    }
    StopWorker();  // Joins a worker that stopped by itself.
    stepFaulted_ = false;
    // As on silicon, a breakpoint at the PC the run resumes from stops it
    // again at once, before that instruction executes: a debugger steps off
    // a breakpoint first (only Step passes the one it starts on).
    stepBudget_.reset();
    StartWorker();
    // On silicon a breakpoint a few instructions ahead has been reached long
    // before the debugger's first state query; the worker takes some
    // microseconds to get going. A run that ends within kShortRun has ended
    // when Continue returns.
    const auto until = std::chrono::steady_clock::now() + kShortRun;
    while (state_.load() == RunState::Running && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
}

void ArmCortexMCore::Step(uint32_t count)
{
    StopWorker();
    if (count > kInlineStepLimit) {
        // A long step runs like a continue, on the worker, so that the host's
        // main thread stays free; the core reports running until the count
        // is done, a breakpoint is reached or Pause stops it.
        stepBudget_ = count;
        stepStarted_ = false;
        StartWorker();
        return;
    }
    if (count > 0) {
        stepBudget_ = count;
        stepStarted_ = false;
        lastStop_ = RunUntilStopped();
        stepBudget_.reset();
    } else {
        lastStop_ = StopReason::Step;
    }
    stepFaulted_ = lastStop_ == StopReason::Fault;
    state_.store(RunState::Halted);
}

bool ArmCortexMCore::StepFaulted()
{
    return stepFaulted_;
}

bool ArmCortexMCore::IsHalted()
{
    return state_.load() == RunState::Halted;
}

bool ArmCortexMCore::IsNotStarted()
{
    return state_.load() == RunState::NotStarted;
}

bool ArmCortexMCore::IsRunning()
{
    return state_.load() == RunState::Running;
}

ArmCortexMCore::StopReason ArmCortexMCore::LastStopReason()
{
    // The worker writes lastStop_ before it publishes the halted state, so
    // it is safe to read once the core is seen not running.
    if (state_.load() == RunState::Running) {
        return StopReason::None;
    }
    return lastStop_;
}

std::string ArmCortexMCore::LastFaultMessage()
{
    if (state_.load() == RunState::Running) {
        return {};
    }
    return lastFault_;
}

// --- Worker and instruction hook --------------------------------------------

ArmCortexMCore::ReusableThread::~ReusableThread()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        exit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ArmCortexMCore::ReusableThread::Run(std::function<void()> job)
{
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Loop(); });
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        job_ = std::move(job);
        pending_ = true;
    }
    started_ = true;
    changed_.notify_all();
}

void ArmCortexMCore::ReusableThread::join()
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !pending_ && !busy_; });
    started_ = false;
}

void ArmCortexMCore::ReusableThread::Loop()
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return exit_ || pending_; });
        if (!pending_) {
            return;
        }
        std::function<void()> job = std::move(job_);
        pending_ = false;
        busy_ = true;
        guard.unlock();
        job();
        guard.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void ArmCortexMCore::StartWorker()
{
    stopRequested_.store(false);
    state_.store(RunState::Running);
    try {
        worker_.Run([this] {
            lastStop_ = RunUntilStopped();
            state_.store(RunState::Halted);
        });
    } catch (...) {
        state_.store(RunState::Halted);
        throw;
    }
}

bool ArmCortexMCore::StopWorker()
{
    if (!worker_.joinable()) {
        return false;
    }
    // The hook sees the request before the next instruction. Nothing in the
    // hook ever blocks, so the emulator returns promptly.
    stopRequested_.store(true);
    worker_.join();
    stopRequested_.store(false);
    return lastStop_ == StopReason::Pause;
}

ArmCortexMCore::StopReason ArmCortexMCore::RunUntilStopped()
{
    uc_struct* uc = engine_.get();
    lastFault_.clear();
    for (;;) {
        hookStop_.reset();
        // Thumb code: the start address needs bit 0 set, or the emulator
        // would try to execute ARM instructions, which a Cortex-M lacks.
        const uc_err err = uc_emu_start(uc, ReadPc() | 1u, 0, 0, 0);
        if (err != UC_ERR_OK) {
            lastFault_ = uc_strerror(err);
            return StopReason::Fault;
        }
        if (hookStop_) {
            return *hookStop_;
        }
        // The emulator returned on its own (for example after a WFI with no
        // interrupt pending). The program has not stopped, so go on unless
        // the request arrived in between.
        if (stepBudget_ && *stepBudget_ == 0) {
            return StopReason::Step;
        }
        if (stopRequested_.load()) {
            return StopReason::Pause;
        }
    }
}

void ArmCortexMCore::OnInstruction(uc_struct*, uint64_t address, uint32_t, void* self)
{
    static_cast<ArmCortexMCore*>(self)->HandleInstruction(address);
}

void ArmCortexMCore::HandleInstruction(uint64_t address)
{
    // A stop request comes first: a run parked here for an access resumes
    // at this instruction and checks its breakpoint then.
    if (stopRequested_.load(std::memory_order_relaxed)) {
        StopHere(StopReason::Pause);
        return;
    }
    const auto pc = static_cast<uint32_t>(address);
    if (stepBudget_) {
        if (*stepBudget_ == 0) {
            StopHere(StopReason::Step);
            return;
        }
        // A step passes the breakpoint it starts on; one it reaches on
        // the way stops it, as each single step of a multi-step would.
        if (stepStarted_ && BreakpointAt(pc)) {
            StopHere(StopReason::Breakpoint);
            return;
        }
        stepStarted_ = true;
        --*stepBudget_;
        return;
    }
    if (BreakpointAt(pc)) {
        StopHere(StopReason::Breakpoint);
    }
}

bool ArmCortexMCore::BreakpointAt(uint32_t address)
{
    // The main thread may change breakpoints while the program runs. The
    // hook keeps its own copy and refreshes it only when the generation
    // moved, so the common case costs one atomic load.
    if (breakpointGeneration_.load(std::memory_order_acquire) != activeGeneration_) {
        std::lock_guard lock(breakpointMutex_);
        activeBreakpoints_.clear();
        for (uint64_t added : breakpoints_) {
            activeBreakpoints_.push_back(static_cast<uint32_t>(added) & ~1u);
        }
        std::sort(activeBreakpoints_.begin(), activeBreakpoints_.end());
        activeGeneration_ = breakpointGeneration_.load(std::memory_order_relaxed);
    }
    return std::binary_search(activeBreakpoints_.begin(), activeBreakpoints_.end(), address);
}

void ArmCortexMCore::StopHere(StopReason reason)
{
    // Called from the hook, before the instruction at the PC executes; the
    // emulator then returns with the PC still on that instruction.
    hookStop_ = reason;
    uc_emu_stop(engine_.get());
}

uint32_t ArmCortexMCore::ReadPc()
{
    uint32_t pc = 0;
    uc_reg_read(engine_.get(), UC_ARM_REG_PC, &pc);
    return pc;
}

// --- Registers ----------------------------------------------------------------

int32_t ArmCortexMCore::RegisterCount()
{
    return static_cast<int32_t>(kRegisters.size());
}

std::string ArmCortexMCore::RegisterName(int32_t index)
{
    if (index < 0 || index >= RegisterCount()) {
        return {};
    }
    return kRegisters[index].name;
}

int32_t ArmCortexMCore::PcIndex()
{
    return kPcIndex;
}

uint32_t ArmCortexMCore::ReadRegister(int32_t index)
{
    if (index < 0 || index >= RegisterCount()) {
        return 0;
    }
    EngineLease lease(*this);
    uint32_t value = 0;
    uc_reg_read(lease.engine(), kRegisters[index].unicornId, &value);
    return value;
}

void ArmCortexMCore::WriteRegister(int32_t index, uint32_t value)
{
    if (index < 0 || index >= RegisterCount()) {
        return;
    }
    EngineLease lease(*this);
    if (index == kPcIndex) {
        // Bit 0 selects Thumb state in the emulator; the PC keeps the even
        // address.
        value |= 1u;
    }
    uc_reg_write(lease.engine(), kRegisters[index].unicornId, &value);
}

// --- Memory -------------------------------------------------------------------

namespace {
enum class Bank { Flash, Ram };
struct Region {
    uint64_t base;
    uint64_t size;
    Bank bank;
};
constexpr Region kFlashRegion{ArmCortexMCore::kFlashBase, ArmCortexMCore::kFlashSize, Bank::Flash};
constexpr Region kRamRegion{ArmCortexMCore::kRamBase, ArmCortexMCore::kRamSize, Bank::Ram};

// Each memory space is a window on the bus by absolute address. MEMORY
// covers the whole bus: a debugger that reaches every address through one
// memory space (as it does for this processor family) uses it.
struct SpaceInfo {
    const char* name;
    std::array<Region, 2> regions;
    std::size_t regionCount;
};
constexpr std::array<SpaceInfo, 3> kSpaces{{
    {"MEMORY", {kFlashRegion, kRamRegion}, 2},
    {"FLASH", {kFlashRegion, {}}, 1},
    {"RAM", {kRamRegion, {}}, 1},
}};
static_assert(ArmCortexMCore::kMemorySpace == 0 && ArmCortexMCore::kFlashSpace == 1 && ArmCortexMCore::kRamSpace == 2);

const SpaceInfo* Space(int32_t index)
{
    return index >= 0 && index < static_cast<int32_t>(kSpaces.size()) ? &kSpaces[static_cast<std::size_t>(index)]
                                                                       : nullptr;
}
}  // namespace

uint8_t* ArmCortexMCore::HostBytes(int32_t index, uint64_t address, uint32_t count)
{
    const SpaceInfo* space = Space(index);
    if (space == nullptr) {
        return nullptr;
    }
    // The regions are far apart, so a block either lies inside one of them
    // or touches an address where nothing answers.
    for (std::size_t r = 0; r < space->regionCount; ++r) {
        const Region& region = space->regions[r];
        if (address >= region.base && address - region.base <= region.size &&
            count <= region.size - (address - region.base)) {
            uint8_t* bank = region.bank == Bank::Flash ? flash_.get() : ram_.get();
            return bank + (address - region.base);
        }
    }
    return nullptr;
}

int32_t ArmCortexMCore::MemorySpaceCount()
{
    return static_cast<int32_t>(kSpaces.size());
}

std::string ArmCortexMCore::MemorySpaceName(int32_t index)
{
    const SpaceInfo* space = Space(index);
    return space ? space->name : std::string();
}

uint32_t ArmCortexMCore::TransferLimit(int32_t index)
{
    return Space(index) ? kTransferLimit : 0;
}

bool ArmCortexMCore::ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count)
{
    if (Space(index) == nullptr) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    const uint8_t* bytes = buffer ? HostBytes(index, address, count) : nullptr;
    if (bytes == nullptr) {
        return false;
    }
    // A running program is parked while its memory is copied.
    EngineLease lease(*this);
    std::copy(bytes, bytes + count, buffer);  // One byte per unit.
    return true;
}

bool ArmCortexMCore::WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count)
{
    if (Space(index) == nullptr) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    uint8_t* bytes = buffer ? HostBytes(index, address, count) : nullptr;
    if (bytes == nullptr) {
        return false;
    }
    EngineLease lease(*this);
    std::transform(buffer, buffer + count, bytes, [](uint32_t unit) { return static_cast<uint8_t>(unit); });
    // The emulator keeps translated code and does not notice that memory
    // under it changed; drop the translations of this range so new code
    // really runs.
    uc_ctl_remove_cache(lease.engine(), address, address + count);
    return true;
}

bool ArmCortexMCore::BeginDownload(int32_t index)
{
    return Space(index) != nullptr;
}

bool ArmCortexMCore::EndDownload(int32_t index)
{
    return Space(index) != nullptr;
}

// --- Breakpoints ----------------------------------------------------------------

std::optional<uint32_t> ArmCortexMCore::BreakpointSpaceId()
{
    return kBreakpointSpace;
}

bool ArmCortexMCore::HasBreakpoint(uint32_t spaceId, uint64_t address)
{
    if (spaceId != kBreakpointSpace) {
        return false;
    }
    std::lock_guard lock(breakpointMutex_);
    return breakpoints_.count(address) != 0;
}

bool ArmCortexMCore::AddBreakpoint(uint32_t spaceId, uint64_t address)
{
    // Beyond 32 bits the PC can never get there.
    if (spaceId != kBreakpointSpace || address > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    std::lock_guard lock(breakpointMutex_);
    if (!breakpoints_.insert(address).second) {
        return false;
    }
    breakpointGeneration_.fetch_add(1, std::memory_order_release);
    return true;
}

void ArmCortexMCore::RemoveBreakpoint(uint32_t spaceId, uint64_t address)
{
    if (spaceId != kBreakpointSpace) {
        return;
    }
    std::lock_guard lock(breakpointMutex_);
    if (breakpoints_.erase(address) != 0) {
        breakpointGeneration_.fetch_add(1, std::memory_order_release);
    }
}

void ArmCortexMCore::RemoveAllBreakpoints()
{
    std::lock_guard lock(breakpointMutex_);
    breakpoints_.clear();
    breakpointGeneration_.fetch_add(1, std::memory_order_release);
}

}  // namespace sim
