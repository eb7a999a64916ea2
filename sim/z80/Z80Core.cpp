#include "sim/z80/Z80Core.h"

#include <z80ex/z80ex.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace sim {

namespace {

struct RegisterInfo {
    const char* name;
    Z80_REG_T z80ex;
    uint32_t mask;
};

// regR is handled apart: libz80ex keeps bit 7 of R in regR7.
constexpr std::array<RegisterInfo, Z80Core::kRegisterCount> kRegisters{{
    {"AF", regAF, 0xffff},   {"BC", regBC, 0xffff},   {"DE", regDE, 0xffff},   {"HL", regHL, 0xffff},
    {"IX", regIX, 0xffff},   {"IY", regIY, 0xffff},   {"SP", regSP, 0xffff},   {"PC", regPC, 0xffff},
    {"AF'", regAF_, 0xffff}, {"BC'", regBC_, 0xffff}, {"DE'", regDE_, 0xffff}, {"HL'", regHL_, 0xffff},
    {"I", regI, 0xff},       {"R", regR, 0xff},       {"IM", regIM, 0x3},      {"IFF1", regIFF1, 0x1},
    {"IFF2", regIFF2, 0x1},
}};

constexpr std::array<const char*, 2> kSpaceNames{"MEMORY", "IO"};

uint32_t ReadCpuRegister(Z80EX_CONTEXT* cpu, int32_t index) {
    if (index == Z80Core::R)
        return (z80ex_get_reg(cpu, regR) & 0x7fu) | (z80ex_get_reg(cpu, regR7) & 0x80u);
    return z80ex_get_reg(cpu, kRegisters[static_cast<std::size_t>(index)].z80ex);
}

}  // namespace

void Z80Core::CpuCloser::operator()(_z80_cpu_context* cpu) const noexcept { z80ex_destroy(cpu); }

// The CPU for the length of one access: a running program is parked before
// and resumed after, exactly where it was.
class Z80Core::Lease {
public:
    explicit Lease(Z80Core& core) : core_(core) { resume_ = core_.StopWorker(); }
    ~Lease() {
        if (resume_) core_.StartWorker();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

private:
    Z80Core& core_;
    bool resume_ = false;
};

Z80Core::Z80Core()
    : memory_(std::make_unique<std::array<uint8_t, kMemorySize>>()),
      breakAt_(std::make_unique<std::array<std::atomic<uint8_t>, kMemorySize>>()) {
    memory_->fill(0);
    for (auto& flag : *breakAt_) flag.store(0, std::memory_order_relaxed);
    cpu_.reset(z80ex_create(&OnMemoryRead, this, &OnMemoryWrite, this, &OnPortRead, this, &OnPortWrite, this,
                            &OnInterruptRead, this));
    if (!cpu_) throw std::runtime_error("libz80ex cannot create a Z80");
    z80ex_reset(cpu_.get());
}

Z80Core::~Z80Core() {
    StopWorker();
    {
        std::lock_guard<std::mutex> guard(workerLock_);
        exit_ = true;
    }
    workerChanged_.notify_all();
    if (worker_.joinable()) worker_.join();
}

// ---- libz80ex's bus --------------------------------------------------------

uint8_t Z80Core::OnMemoryRead(_z80_cpu_context*, uint16_t address, int, void* self) {
    return (*static_cast<Z80Core*>(self)->memory_)[address];
}

void Z80Core::OnMemoryWrite(_z80_cpu_context*, uint16_t address, uint8_t value, void* self) {
    (*static_cast<Z80Core*>(self)->memory_)[address] = value;
}

uint8_t Z80Core::OnPortRead(_z80_cpu_context*, uint16_t port, void* self) {
    return static_cast<Z80Core*>(self)->ports_[port & 0xff];
}

void Z80Core::OnPortWrite(_z80_cpu_context*, uint16_t port, uint8_t value, void* self) {
    static_cast<Z80Core*>(self)->ports_[port & 0xff] = value;
}

uint8_t Z80Core::OnInterruptRead(_z80_cpu_context*, void*) {
    return 0xff;  // never asked: nothing interrupts
}

// ---- Run control -------------------------------------------------------------

void Z80Core::Reset() {
    StopWorker();
    z80ex_reset(cpu_.get());
    stepBudget_.reset();
    lastStop_ = StopReason::None;
    state_.store(RunState::NotStarted);
}

void Z80Core::Pause() {
    StopWorker();
    if (state_.load() == RunState::NotStarted) state_.store(RunState::Halted);
}

void Z80Core::Continue() {
    if (state_.load() == RunState::Running) return;
    StopWorker();
    stepBudget_.reset();
    StartWorker();
}

void Z80Core::Step(uint32_t count) {
    StopWorker();
    stepBudget_ = count;
    stepStarted_ = false;
    if (count > kInlineStepLimit) {
        // Runs on like a continue and halts by itself when the count is
        // done: the host's main thread stays free meanwhile.
        StartWorker();
        return;
    }
    lastStop_ = RunUntilStopped();
    stepBudget_.reset();
    state_.store(RunState::Halted);
}

bool Z80Core::IsHalted() { return state_.load() == RunState::Halted; }
bool Z80Core::IsNotStarted() { return state_.load() == RunState::NotStarted; }
bool Z80Core::IsRunning() { return state_.load() == RunState::Running; }

Z80Core::StopReason Z80Core::LastStopReason() {
    // Written by the worker before it publishes the halted state.
    return state_.load() == RunState::Running ? StopReason::None : lastStop_;
}

uint64_t Z80Core::InstructionCount() { return instructions_.load(); }

void Z80Core::ExecuteInstruction() {
    Z80EX_CONTEXT* cpu = cpu_.get();
    do {
        z80ex_step(cpu);
    } while (z80ex_last_op_type(cpu) != 0);
}

Z80Core::StopReason Z80Core::RunUntilStopped() {
    Z80EX_CONTEXT* cpu = cpu_.get();
    const auto& breakAt = *breakAt_;
    uint64_t executed = 0;
    StopReason reason = StopReason::Pause;
    for (;;) {
        if (stopRequested_.load(std::memory_order_relaxed)) break;
        if (stepBudget_) {
            if (*stepBudget_ == 0) {
                reason = StopReason::Step;
                break;
            }
            // The first instruction of a step passes its breakpoint.
            if (stepStarted_ && breakAt[z80ex_get_reg(cpu, regPC)].load(std::memory_order_relaxed)) {
                reason = StopReason::Breakpoint;
                break;
            }
            stepStarted_ = true;
            --*stepBudget_;
        } else if (const Z80EX_WORD pc = z80ex_get_reg(cpu, regPC); breakAt[pc].load(std::memory_order_relaxed)) {
            // As a one-byte trap in the instruction's place would: the PC
            // one past it, the instruction not executed.
            z80ex_set_reg(cpu, regPC, static_cast<Z80EX_WORD>(pc + 1));
            reason = StopReason::Breakpoint;
            break;
        }
        ExecuteInstruction();
        ++executed;
    }
    instructions_.fetch_add(executed, std::memory_order_relaxed);
    return reason;
}

void Z80Core::StartWorker() {
    stopRequested_.store(false);
    state_.store(RunState::Running);
    {
        std::lock_guard<std::mutex> guard(workerLock_);
        runRequested_ = true;
        if (!worker_.joinable()) worker_ = std::thread([this] { WorkerLoop(); });
    }
    workerChanged_.notify_all();
}

void Z80Core::WorkerLoop() {
    std::unique_lock<std::mutex> guard(workerLock_);
    for (;;) {
        workerChanged_.wait(guard, [this] { return exit_ || runRequested_; });
        if (!runRequested_) return;
        runRequested_ = false;
        runBusy_ = true;
        guard.unlock();
        lastStop_ = RunUntilStopped();
        if (lastStop_ != StopReason::Pause) stepBudget_.reset();
        state_.store(RunState::Halted);
        guard.lock();
        runBusy_ = false;
        workerChanged_.notify_all();
    }
}

bool Z80Core::StopWorker() {
    std::unique_lock<std::mutex> guard(workerLock_);
    if (!runRequested_ && !runBusy_) return false;
    stopRequested_.store(true);
    workerChanged_.wait(guard, [this] { return !runRequested_ && !runBusy_; });
    stopRequested_.store(false);
    return lastStop_ == StopReason::Pause;
}

// ---- Registers -----------------------------------------------------------------

int32_t Z80Core::RegisterCount() { return kRegisterCount; }

std::string Z80Core::RegisterName(int32_t index) {
    return index >= 0 && index < kRegisterCount ? kRegisters[static_cast<std::size_t>(index)].name : "";
}

int32_t Z80Core::PcIndex() { return PC; }

uint32_t Z80Core::ReadRegister(int32_t index) {
    if (index < 0 || index >= kRegisterCount) return 0;
    Lease lease(*this);
    return ReadCpuRegister(cpu_.get(), index);
}

void Z80Core::WriteRegister(int32_t index, uint32_t value) {
    if (index < 0 || index >= kRegisterCount) return;
    const RegisterInfo& info = kRegisters[static_cast<std::size_t>(index)];
    if (index == IM && value > 2) return;
    value &= info.mask;
    Lease lease(*this);
    Z80EX_CONTEXT* cpu = cpu_.get();
    if (index == R) {
        z80ex_set_reg(cpu, regR, static_cast<Z80EX_WORD>(value));
        z80ex_set_reg(cpu, regR7, static_cast<Z80EX_WORD>(value & 0x80));
        return;
    }
    z80ex_set_reg(cpu, info.z80ex, static_cast<Z80EX_WORD>(value));
}

// ---- Memory and ports ---------------------------------------------------------------

int32_t Z80Core::MemorySpaceCount() { return static_cast<int32_t>(kSpaceNames.size()); }

std::string Z80Core::MemorySpaceName(int32_t index) {
    return index >= 0 && index < MemorySpaceCount() ? kSpaceNames[static_cast<std::size_t>(index)] : "";
}

uint32_t Z80Core::TransferLimit(int32_t index) {
    return index >= 0 && index < MemorySpaceCount() ? kTransferLimit : 0;
}

uint8_t* Z80Core::Bytes(int32_t index, uint64_t address, uint32_t count) {
    const uint64_t size = index == kMemorySpace ? kMemorySize : kPortCount;
    if (address > size || count > size - address) return nullptr;
    return (index == kMemorySpace ? memory_->data() : ports_.data()) + address;
}

bool Z80Core::ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) {
    if (index < 0 || index >= MemorySpaceCount()) return false;
    if (count == 0) return true;
    if (buffer == nullptr) return false;
    const uint8_t* bytes = Bytes(index, address, count);
    if (bytes == nullptr) return false;
    Lease lease(*this);
    std::copy(bytes, bytes + count, buffer);  // one byte per unit
    return true;
}

bool Z80Core::WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) {
    if (index < 0 || index >= MemorySpaceCount()) return false;
    if (count == 0) return true;
    if (buffer == nullptr) return false;
    uint8_t* bytes = Bytes(index, address, count);
    if (bytes == nullptr) return false;
    Lease lease(*this);
    std::transform(buffer, buffer + count, bytes, [](uint32_t unit) { return static_cast<uint8_t>(unit); });
    return true;
}

bool Z80Core::BeginDownload(int32_t index) { return index >= 0 && index < MemorySpaceCount(); }
bool Z80Core::EndDownload(int32_t index) { return index >= 0 && index < MemorySpaceCount(); }

// ---- Breakpoints -----------------------------------------------------------------------

std::optional<uint32_t> Z80Core::BreakpointSpaceId() { return kBreakpointSpace; }

bool Z80Core::HasBreakpoint(uint32_t spaceId, uint64_t address) {
    return spaceId == kBreakpointSpace && address < kMemorySize && breakpoints_.count(static_cast<uint16_t>(address));
}

bool Z80Core::AddBreakpoint(uint32_t spaceId, uint64_t address) {
    if (spaceId != kBreakpointSpace || address >= kMemorySize) return false;
    if (!breakpoints_.insert(static_cast<uint16_t>(address)).second) return false;
    // A running program sees the new breakpoint before its next instruction.
    (*breakAt_)[address].store(1, std::memory_order_relaxed);
    return true;
}

void Z80Core::RemoveBreakpoint(uint32_t spaceId, uint64_t address) {
    if (spaceId != kBreakpointSpace || address >= kMemorySize) return;
    if (breakpoints_.erase(static_cast<uint16_t>(address)) != 0)
        (*breakAt_)[address].store(0, std::memory_order_relaxed);
}

void Z80Core::RemoveAllBreakpoints() {
    for (uint16_t address : breakpoints_) (*breakAt_)[address].store(0, std::memory_order_relaxed);
    breakpoints_.clear();
}

}  // namespace sim
