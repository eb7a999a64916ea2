// The processor behind the simulated host's Nexus objects.
//
// The Nexus COM objects of the simulated flow library (SimNexus) are thin
// adapters: they check the calling thread, log the call, apply injected faults
// and then ask a ProcessorCore. Two cores exist: the scripted model
// (ScriptedProcessor), whose answers tests configure in a few lines, and a core
// that executes real code. Both sit behind this one interface.
//
// All methods are called on the host's main thread only. A core that has
// lost its processor (an emulator process that died, say) throws CoreFailure
// from any method; the Nexus object then answers a failing status.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace sim {

class CoreFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProcessorCore {
public:
    virtual ~ProcessorCore() = default;

    // Run control. None of these waits for the state to change.
    virtual void Reset() = 0;
    virtual void Pause() = 0;
    virtual void Continue() = 0;
    virtual void Step(uint32_t count) = 0;
    // True when the last Step stopped on a fault before it had executed its
    // instructions (the faulting one did not complete): the host's
    // StepProcessor then fails instead of reporting a step that did not
    // happen. A core that cannot fault never says so.
    virtual bool StepFaulted() { return false; }

    // Run state as the three Nexus truth queries see it.
    virtual bool IsHalted() = 0;
    virtual bool IsNotStarted() = 0;
    virtual bool IsRunning() = 0;

    // Registers, by index 0..RegisterCount()-1. PcIndex() is the register that
    // GetPcRegister hands out.
    virtual int32_t RegisterCount() = 0;
    virtual std::string RegisterName(int32_t index) = 0;
    virtual int32_t PcIndex() = 0;
    virtual uint32_t ReadRegister(int32_t index) = 0;
    virtual void WriteRegister(int32_t index, uint32_t value) = 0;

    // Memory spaces, by index 0..MemorySpaceCount()-1. One buffer unit is one
    // 32-bit word; what a unit means at an address is the core's choice.
    // ReadBlock and WriteBlock answer false when the access failed, as a bus
    // error does on real hardware (for example an address that nothing
    // answers at); the Nexus object then reports a failing status.
    virtual int32_t MemorySpaceCount() = 0;
    virtual std::string MemorySpaceName(int32_t index) = 0;
    virtual uint32_t TransferLimit(int32_t index) = 0;
    // False when the access failed (a bus fault, say); the Nexus method then
    // answers a negative status. The count never exceeds TransferLimit: the
    // Nexus object refuses such a request before it reaches the core.
    virtual bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) = 0;
    virtual bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) = 0;
    virtual bool BeginDownload(int32_t index) = 0;
    virtual bool EndDownload(int32_t index) = 0;

    // Breakpoints. No value from BreakpointSpaceId() means the processor has no
    // breakpoint space.
    virtual std::optional<uint32_t> BreakpointSpaceId() = 0;
    virtual bool HasBreakpoint(uint32_t spaceId, uint64_t address) = 0;
    virtual bool AddBreakpoint(uint32_t spaceId, uint64_t address) = 0;
    virtual void RemoveBreakpoint(uint32_t spaceId, uint64_t address) = 0;
    virtual void RemoveAllBreakpoints() = 0;
};

}  // namespace sim
