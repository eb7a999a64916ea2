// Data watchpoints for a core that has only location breakpoints.
//
// gdb sets them with Z2 (write), Z3 (read) and Z4 (access). The server then
// runs the program one instruction at a time (DiExecSingleStep) and looks,
// before each instruction, whether it is about to access a watched byte:
//   write   it stores to the range;
//   read    it loads from the range;
//   access  either.
// As with a Cortex-M's own watchpoints (and QEMU's), the hit is reported
// with the PC on the accessing instruction, not yet executed: gdb steps over
// it itself and compares the old and new value (a store of the same value
// is then no stop for `watch`).
//
// The accesses are found by decoding the instruction with Capstone (the
// board's instruction set: Thumb-2 on the Cortex-M boards, 32-bit big-endian
// PowerPC on the 440) and working out its addresses from the registers it
// names. The decoding is
// kept per address, so an instruction that accesses no memory costs nothing
// beyond the step and the PC read. An instruction Capstone does not know is
// judged afterwards by the watched bytes: changed is a hit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "sim/Architecture.h"
#include "tools/common/Target.h"

namespace gdbserver {

using frontend::Target;

enum class WatchKind : uint8_t { Write = 2, Read = 3, Access = 4 };

// A data access of one instruction.
struct DataAccess {
    uint32_t address = 0;
    uint32_t size = 0;
    bool write = false;
};

// What one instruction does to memory, before the register values are
// known. Registers are the board's register ids (its table's indices).
struct DecodedInstruction {
    uint32_t size = 2;
    bool known = false;       // Capstone decoded it
    bool trap = false;        // bkpt 0xab, a semihosting call
    bool breakpoint = false;  // any other bkpt; PowerPC's trap (tw 31,0,0), gdb's breakpoint
    bool selfBranch = false;  // b . : the PC legitimately stays
    bool flow = false;        // may go elsewhere than the next instruction (branch, PC write, svc, sc, rfi)
    struct Operand {
        int base = -1;            // register id; -1: none, the base is 0 (PowerPC's rA field 0)
        bool pcRelative = false;  // a Thumb literal: the base is the PC, 4 ahead and word-aligned
        int index = -1;           // register id or -1
        int shift = 0;            // of the index
        bool subtract = false;
        int32_t displacement = 0;
        uint32_t bytes = 0;  // total size of the access
        bool write = false;
        bool descending = false;  // a block below the base (push, stmdb, ldmdb)
        uint32_t align = 0;       // the address rounded down to a multiple of it (dcbz's cache line)
    };
    std::vector<Operand> operands;
    bool MayWrite() const;
};

// Decoding with Capstone, for the architecture's instruction set: Thumb-2,
// PowerPC; any other is not decoded (Decodes() is false, and every
// instruction comes back not known).
class InstructionDecoder {
public:
    explicit InstructionDecoder(const sim::Architecture& arch);
    ~InstructionDecoder();
    InstructionDecoder(const InstructionDecoder&) = delete;
    InstructionDecoder& operator=(const InstructionDecoder&) = delete;

    bool Decodes() const;

    // code holds up to 4 bytes from pc on.
    DecodedInstruction Decode(const uint8_t* code, std::size_t count, uint32_t pc) const;

    // The accesses, with the registers' values read through readRegister
    // (none when a register cannot be read).
    template <class ReadRegister>
    static std::optional<std::vector<DataAccess>> Resolve(const DecodedInstruction& instruction, uint32_t pc,
                                                          ReadRegister&& readRegister);

private:
    DecodedInstruction DecodeThumb(const uint8_t* code, std::size_t count, uint32_t pc) const;
    DecodedInstruction DecodePowerPc(const uint8_t* code, std::size_t count, uint32_t pc) const;

    struct Handle;
    std::unique_ptr<Handle> handle_;
};

class Watchpoints {
public:
    static constexpr std::size_t kMaxWatchpoints = 32;
    static constexpr uint64_t kMaxLength = 64 * 1024;

    explicit Watchpoints(Target& target) : target_(target), decoder_(target.Board().arch) {}

    // Whether the board's instructions are decoded: elsewhere gdb is told
    // there are no watchpoints (and watches by stepping itself).
    bool Supported() const { return decoder_.Decodes(); }

    // False when the arguments are out of range or too many are set. A second
    // insert of the same watchpoint is counted, as gdb may send it again.
    bool Insert(WatchKind kind, uint64_t address, uint64_t length);
    bool Remove(WatchKind kind, uint64_t address, uint64_t length);
    void Clear() { watches_.clear(); }
    bool Empty() const { return watches_.empty(); }

    struct Hit {
        WatchKind kind;
        uint32_t address;
    };

    // One stepped run: Begin once (it reads the watched values; a range
    // that cannot be read whole is watched by its accesses only),
    // then per instruction Before(pc), AccessHit() (a hit: stop before the
    // instruction), the step, and After() (a hit found by the value). Before
    // decodes the instruction at pc (from the cache) and works out its
    // accesses.
    void Begin();
    const DecodedInstruction* Before(uint32_t pc);
    std::optional<Hit> AccessHit() const;
    std::optional<Hit> After();

    // The instruction at pc, decoded (cached); none when it cannot be read.
    const DecodedInstruction* InstructionAt(uint32_t pc);

    // How many instructions from pc (the one Before looked at) one step may
    // execute: that one, and the straight-line instructions after it that
    // touch no memory, up to and including a branch. None of them can hit a
    // watchpoint, so they need no look of their own.
    uint32_t StraightRun(uint32_t pc);
    static constexpr uint32_t kMaxRun = 64;

    // Code may have changed (gdb wrote memory or loaded): decode anew.
    void ForgetCode() { code_.clear(); }

private:
    struct Watch {
        WatchKind kind;
        uint32_t address;
        uint32_t length;
        unsigned count;
        std::vector<uint8_t> value;  // as last seen; empty when it cannot be read
    };

    Target& target_;
    InstructionDecoder decoder_;
    std::vector<Watch> watches_;
    std::unordered_map<uint32_t, DecodedInstruction> code_;
    const DecodedInstruction* current_ = nullptr;
    std::vector<DataAccess> accesses_;
    bool accessesKnown_ = false;
};

// ---- Template definitions ----------------------------------------------------

template <class ReadRegister>
std::optional<std::vector<DataAccess>> InstructionDecoder::Resolve(const DecodedInstruction& instruction, uint32_t pc,
                                                                   ReadRegister&& readRegister) {
    std::vector<DataAccess> accesses;
    for (const DecodedInstruction::Operand& operand : instruction.operands) {
        uint32_t base = 0;
        if (operand.pcRelative) {
            base = (pc + 4) & ~3u;
        } else if (operand.base >= 0) {
            const std::optional<uint32_t> value = readRegister(operand.base);
            if (!value) return std::nullopt;
            base = *value;
        }
        uint32_t offset = static_cast<uint32_t>(operand.displacement);
        if (operand.index >= 0) {
            const std::optional<uint32_t> value = readRegister(operand.index);
            if (!value) return std::nullopt;
            offset = *value << operand.shift;
        }
        uint32_t address = operand.subtract ? base - offset : base + offset;
        if (operand.descending) address -= operand.bytes;
        if (operand.align > 1) address &= ~(operand.align - 1);
        accesses.push_back({address, operand.bytes, operand.write});
    }
    return accesses;
}

}  // namespace gdbserver
