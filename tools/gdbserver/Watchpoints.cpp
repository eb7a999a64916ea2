#include "tools/gdbserver/Watchpoints.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <iterator>
#include <optional>

namespace gdbserver {

namespace {

// Capstone's register number as 0..15, -1 for any other register.
int CoreRegister(unsigned reg) {
    switch (reg) {
        case ARM_REG_R0: return 0;
        case ARM_REG_R1: return 1;
        case ARM_REG_R2: return 2;
        case ARM_REG_R3: return 3;
        case ARM_REG_R4: return 4;
        case ARM_REG_R5: return 5;
        case ARM_REG_R6: return 6;
        case ARM_REG_R7: return 7;
        case ARM_REG_R8: return 8;
        case ARM_REG_R9: return 9;
        case ARM_REG_R10: return 10;
        case ARM_REG_R11: return 11;
        case ARM_REG_R12: return 12;
        case ARM_REG_SP: return 13;
        case ARM_REG_LR: return 14;
        case ARM_REG_PC: return 15;
        default: return -1;
    }
}

// Bytes a single load or store moves; 0 for an instruction that is neither.
struct LoadStore {
    unsigned id;
    uint32_t bytes;
    bool write;
};
constexpr LoadStore kLoadStores[] = {
    {ARM_INS_LDR, 4, false},    {ARM_INS_LDRT, 4, false},   {ARM_INS_LDREX, 4, false},  {ARM_INS_LDA, 4, false},
    {ARM_INS_LDRB, 1, false},   {ARM_INS_LDRBT, 1, false},  {ARM_INS_LDREXB, 1, false}, {ARM_INS_LDRSB, 1, false},
    {ARM_INS_LDRSBT, 1, false}, {ARM_INS_LDRH, 2, false},   {ARM_INS_LDRHT, 2, false},  {ARM_INS_LDREXH, 2, false},
    {ARM_INS_LDRSH, 2, false},  {ARM_INS_LDRSHT, 2, false}, {ARM_INS_LDRD, 8, false},   {ARM_INS_LDREXD, 8, false},
    {ARM_INS_STR, 4, true},     {ARM_INS_STRT, 4, true},    {ARM_INS_STREX, 4, true},   {ARM_INS_STL, 4, true},
    {ARM_INS_STRB, 1, true},    {ARM_INS_STRBT, 1, true},   {ARM_INS_STREXB, 1, true},  {ARM_INS_STRH, 2, true},
    {ARM_INS_STRHT, 2, true},   {ARM_INS_STREXH, 2, true},  {ARM_INS_STRD, 8, true},    {ARM_INS_STREXD, 8, true},
    {ARM_INS_TBB, 1, false},    {ARM_INS_TBH, 2, false},
};

// Registers in a list operand (push, pop, ldm, stm), from operand first on.
uint32_t RegisterListBytes(const cs_arm& arm, int first) {
    uint32_t count = 0;
    for (int i = first; i < arm.op_count; ++i)
        if (arm.operands[i].type == ARM_OP_REG) ++count;
    return 4 * count;
}

// ---- PowerPC ----------------------------------------------------------------------

// The loads and stores of the 440's integer unit: D-form (a displacement
// from rA|0, Capstone's memory operand) and X-form (rA|0 + rB, three
// register operands). The update forms access the same address as the
// others; they only write it back to rA.
struct PpcLoadStore {
    unsigned id;
    uint32_t bytes;
    bool write;
    bool indexed;
};
constexpr PpcLoadStore kPpcLoadStores[] = {
    {PPC_INS_LBZ, 1, false, false},    {PPC_INS_LBZU, 1, false, false},  {PPC_INS_LHZ, 2, false, false},
    {PPC_INS_LHZU, 2, false, false},   {PPC_INS_LHA, 2, false, false},   {PPC_INS_LHAU, 2, false, false},
    {PPC_INS_LWZ, 4, false, false},    {PPC_INS_LWZU, 4, false, false},  {PPC_INS_STB, 1, true, false},
    {PPC_INS_STBU, 1, true, false},    {PPC_INS_STH, 2, true, false},    {PPC_INS_STHU, 2, true, false},
    {PPC_INS_STW, 4, true, false},     {PPC_INS_STWU, 4, true, false},   {PPC_INS_LBZX, 1, false, true},
    {PPC_INS_LBZUX, 1, false, true},   {PPC_INS_LHZX, 2, false, true},   {PPC_INS_LHZUX, 2, false, true},
    {PPC_INS_LHAX, 2, false, true},    {PPC_INS_LHAUX, 2, false, true},  {PPC_INS_LWZX, 4, false, true},
    {PPC_INS_LWZUX, 4, false, true},   {PPC_INS_LHBRX, 2, false, true},  {PPC_INS_LWBRX, 4, false, true},
    {PPC_INS_LWARX, 4, false, true},   {PPC_INS_STBX, 1, true, true},    {PPC_INS_STBUX, 1, true, true},
    {PPC_INS_STHX, 2, true, true},     {PPC_INS_STHUX, 2, true, true},   {PPC_INS_STWX, 4, true, true},
    {PPC_INS_STWUX, 4, true, true},    {PPC_INS_STHBRX, 2, true, true},  {PPC_INS_STWBRX, 4, true, true},
    {PPC_INS_STWCX, 4, true, true},
};

// dcbz zeroes the data cache line the address falls in: 32 bytes on the 440.
constexpr uint32_t kPpcCacheLine = 32;

// gdb's breakpoint instruction, and the program's own: tw 31,0,0 (trap).
constexpr uint32_t kPpcTrap = 0x7fe00008;
// b . : a branch to itself.
constexpr uint32_t kPpcBranchToItself = 0x48000000;

// Whether the instruction may go elsewhere than the next one, by its
// encoding: b, bc, bclr, bcctr, sc, the interrupt returns, the traps.
bool PpcFlow(uint32_t word) {
    const uint32_t primary = word >> 26, extended = (word >> 1) & 0x3ff;
    switch (primary) {
        case 3:   // twi
        case 16:  // bc
        case 17:  // sc
        case 18:  // b
            return true;
        case 19:  // bclr, bcctr, rfi, rfci, rfmci
            return extended == 16 || extended == 528 || extended == 50 || extended == 51 || extended == 38;
        case 31: return extended == 4;  // tw
        default: return false;
    }
}

}  // namespace

bool DecodedInstruction::MayWrite() const {
    if (!known) return true;
    return std::any_of(operands.begin(), operands.end(), [](const Operand& o) { return o.write; });
}

struct InstructionDecoder::Handle {
    const sim::Architecture& arch;
    csh cs = 0;
    bool ok = false;

    // A general register of Capstone's as the board's register id: found by
    // its name in the board's register table. rA's r0 in a load or store is
    // no register but the value 0 (-1). None when the table has no such
    // register.
    std::optional<int> PpcRegister(unsigned reg, bool zeroForR0) const {
        if (zeroForR0 && reg == PPC_REG_R0) return -1;
        const char* name = cs_reg_name(cs, reg);
        if (!name) return std::nullopt;
        return arch.FindRegister(name);
    }
};

InstructionDecoder::InstructionDecoder(const sim::Architecture& arch) : handle_(new Handle{arch}) {
    switch (arch.instructionSet) {
        case sim::InstructionSet::Thumb:
            handle_->ok = cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle_->cs) ==
                          CS_ERR_OK;
            break;
        case sim::InstructionSet::PowerPC:
            handle_->ok = cs_open(CS_ARCH_PPC,
                                  static_cast<cs_mode>(CS_MODE_32 | (arch.bigEndian ? CS_MODE_BIG_ENDIAN : 0)),
                                  &handle_->cs) == CS_ERR_OK;
            break;
        default: break;
    }
    if (handle_->ok) cs_option(handle_->cs, CS_OPT_DETAIL, CS_OPT_ON);
}

InstructionDecoder::~InstructionDecoder() {
    if (handle_->ok) cs_close(&handle_->cs);
}

bool InstructionDecoder::Decodes() const { return handle_->ok; }

DecodedInstruction InstructionDecoder::Decode(const uint8_t* code, std::size_t count, uint32_t pc) const {
    switch (handle_->arch.instructionSet) {
        case sim::InstructionSet::Thumb: return DecodeThumb(code, count, pc);
        case sim::InstructionSet::PowerPC: return DecodePowerPc(code, count, pc);
        default: return DecodedInstruction{};
    }
}

DecodedInstruction InstructionDecoder::DecodePowerPc(const uint8_t* code, std::size_t count, uint32_t pc) const {
    DecodedInstruction result;
    result.size = 4;
    if (count < 4) return result;
    const uint32_t word = handle_->arch.bigEndian
                              ? uint32_t{code[0]} << 24 | uint32_t{code[1]} << 16 | uint32_t{code[2]} << 8 | code[3]
                              : uint32_t{code[3]} << 24 | uint32_t{code[2]} << 16 | uint32_t{code[1]} << 8 | code[0];
    result.flow = PpcFlow(word);
    if (word == kPpcTrap) {
        result.known = true;
        result.breakpoint = true;
        return result;
    }
    result.selfBranch = word == kPpcBranchToItself;
    if (!handle_->ok) return result;
    cs_insn* insn = nullptr;
    if (cs_disasm(handle_->cs, code, 4, pc, 1, &insn) != 1) return result;
    result.known = true;
    const cs_ppc& ppc = insn->detail->ppc;
    using Operand = DecodedInstruction::Operand;
    const auto isMemory = [](const cs_ppc_op& o) { return o.type == PPC_OP_MEM; };
    const auto entry = std::find_if(std::begin(kPpcLoadStores), std::end(kPpcLoadStores),
                                    [&](const PpcLoadStore& e) { return e.id == insn->id; });
    Operand o;
    bool access = true;
    if (entry != std::end(kPpcLoadStores)) {
        o.bytes = entry->bytes;
        o.write = entry->write;
        if (entry->indexed) {
            // rD/rS, rA|0, rB
            const auto base = ppc.op_count == 3 ? handle_->PpcRegister(ppc.operands[1].reg, true) : std::nullopt;
            const auto index = ppc.op_count == 3 ? handle_->PpcRegister(ppc.operands[2].reg, false) : std::nullopt;
            if (!base || !index || *index < 0) {
                access = false;
            } else {
                o.base = *base;
                o.index = *index;
            }
        } else if (ppc.op_count == 2 && isMemory(ppc.operands[1])) {
            const auto base = handle_->PpcRegister(ppc.operands[1].mem.base, true);
            if (!base) {
                access = false;
            } else {
                o.base = *base;
                o.displacement = ppc.operands[1].mem.disp;
            }
        } else {
            access = false;
        }
    } else if (insn->id == PPC_INS_LMW || insn->id == PPC_INS_STMW) {
        // rS..r31 from the address on.
        const auto base = ppc.op_count == 2 && isMemory(ppc.operands[1])
                              ? handle_->PpcRegister(ppc.operands[1].mem.base, true)
                              : std::nullopt;
        const unsigned first = ppc.op_count == 2 ? ppc.operands[0].reg : 0;
        if (!base || first < PPC_REG_R0 || first > PPC_REG_R31) {
            access = false;
        } else {
            o.base = *base;
            o.displacement = ppc.operands[1].mem.disp;
            o.bytes = 4 * (PPC_REG_R31 - first + 1);
            o.write = insn->id == PPC_INS_STMW;
        }
    } else if (insn->id == PPC_INS_DCBZ) {
        // rA|0, rB: the whole line the address falls in.
        const auto base = ppc.op_count == 2 ? handle_->PpcRegister(ppc.operands[0].reg, true) : std::nullopt;
        const auto index = ppc.op_count == 2 ? handle_->PpcRegister(ppc.operands[1].reg, false) : std::nullopt;
        if (!base || !index || *index < 0) {
            access = false;
        } else {
            o.base = *base;
            o.index = *index;
            o.bytes = kPpcCacheLine;
            o.align = kPpcCacheLine;
            o.write = true;
        }
    } else if (insn->id == PPC_INS_LSWI || insn->id == PPC_INS_STSWI ||
               std::any_of(ppc.operands, ppc.operands + ppc.op_count, isMemory)) {
        // A string move, or a floating-point load or store (the 440 has no
        // FPU: it raises an interrupt): judged by the watched bytes.
        access = false;
    } else {
        o.bytes = 0;  // no data access
    }
    if (!access) result.known = false;
    else if (o.bytes != 0) result.operands.push_back(o);
    cs_free(insn, 1);
    return result;
}

DecodedInstruction InstructionDecoder::DecodeThumb(const uint8_t* code, std::size_t count, uint32_t pc) const {
    DecodedInstruction result;
    if (count >= 2) {
        const uint16_t first = static_cast<uint16_t>(code[0] | code[1] << 8);
        if ((first & 0xFF00) == 0xBE00) {
            result.known = true;
            result.trap = first == 0xBEAB;
            result.breakpoint = !result.trap;
            result.flow = true;
            return result;
        }
        // A 32-bit Thumb instruction starts with 0b11101, 0b11110 or 0b11111.
        result.size = (first >> 11) >= 0x1D ? 4 : 2;
    }
    if (!handle_->ok) return result;
    cs_insn* insn = nullptr;
    if (cs_disasm(handle_->cs, code, count, pc, 1, &insn) != 1) return result;
    result.known = true;
    result.size = insn->size;
    const cs_arm& arm = insn->detail->arm;
    using Operand = DecodedInstruction::Operand;
    switch (insn->id) {
        case ARM_INS_B:
            result.flow = true;
            result.selfBranch = arm.op_count == 1 && arm.operands[0].type == ARM_OP_IMM &&
                                static_cast<uint32_t>(arm.operands[0].imm) == pc;
            break;
        case ARM_INS_PUSH: {
            Operand o;
            o.base = 13;
            o.bytes = RegisterListBytes(arm, 0);
            o.write = true;
            o.descending = true;
            result.operands.push_back(o);
            break;
        }
        case ARM_INS_POP: {
            Operand o;
            o.base = 13;
            o.bytes = RegisterListBytes(arm, 0);
            result.operands.push_back(o);
            break;
        }
        case ARM_INS_LDM:
        case ARM_INS_LDMDB:
        case ARM_INS_STM:
        case ARM_INS_STMDB: {
            if (arm.op_count < 2 || arm.operands[0].type != ARM_OP_REG) {
                result.known = false;
                break;
            }
            Operand o;
            o.base = CoreRegister(arm.operands[0].reg);
            o.bytes = RegisterListBytes(arm, 1);
            o.write = insn->id == ARM_INS_STM || insn->id == ARM_INS_STMDB;
            o.descending = insn->id == ARM_INS_LDMDB || insn->id == ARM_INS_STMDB;
            if (o.base < 0) result.known = false;
            else result.operands.push_back(o);
            break;
        }
        default: {
            const auto entry = std::find_if(std::begin(kLoadStores), std::end(kLoadStores),
                                            [&](const LoadStore& e) { return e.id == insn->id; });
            if (entry == std::end(kLoadStores)) break;  // no data access (or one the core has no use for: pld)
            const auto memory = std::find_if(arm.operands, arm.operands + arm.op_count,
                                             [](const cs_arm_op& o) { return o.type == ARM_OP_MEM; });
            if (memory == arm.operands + arm.op_count) {
                result.known = false;
                break;
            }
            Operand o;
            o.base = CoreRegister(memory->mem.base);
            o.pcRelative = o.base == 15;
            o.index = memory->mem.index == ARM_REG_INVALID ? -1 : CoreRegister(memory->mem.index);
            // Capstone 4 gives the index's shift in the operand's shifter.
            o.shift = memory->mem.lshift != 0                    ? memory->mem.lshift
                      : memory->shift.type == ARM_SFT_LSL ? static_cast<int>(memory->shift.value)
                                                          : 0;
            if (entry->id == ARM_INS_TBH && o.shift == 0) o.shift = 1;  // [rn, rm, lsl #1]
            o.displacement = memory->mem.disp;
            o.subtract = memory->subtracted || memory->mem.scale == -1;
            if (o.subtract && o.displacement < 0) o.displacement = -o.displacement;
            o.bytes = entry->bytes;
            o.write = entry->write;
            if (o.base < 0 || (memory->mem.index != ARM_REG_INVALID && o.index < 0)) result.known = false;
            else result.operands.push_back(o);
            break;
        }
    }
    if (!result.flow) {
        for (uint8_t i = 0; i < insn->detail->groups_count; ++i) {
            const uint8_t group = insn->detail->groups[i];
            if (group == ARM_GRP_JUMP || group == ARM_GRP_CALL || group == ARM_GRP_INT) result.flow = true;
        }
        cs_regs read, written;
        uint8_t readCount = 0, writtenCount = 0;
        if (cs_regs_access(handle_->cs, insn, read, &readCount, written, &writtenCount) != CS_ERR_OK) {
            result.flow = true;
        } else {
            for (uint8_t i = 0; i < writtenCount; ++i)
                if (written[i] == ARM_REG_PC) result.flow = true;
        }
    }
    cs_free(insn, 1);
    return result;
}

// ---- The watchpoints --------------------------------------------------------------

bool Watchpoints::Insert(WatchKind kind, uint64_t address, uint64_t length) {
    if (length == 0 || length > kMaxLength || address > 0xFFFFFFFFull || address + length - 1 > 0xFFFFFFFFull)
        return false;
    for (Watch& w : watches_)
        if (w.kind == kind && w.address == address && w.length == length) {
            ++w.count;
            return true;
        }
    if (watches_.size() >= kMaxWatchpoints) return false;
    watches_.push_back({kind, static_cast<uint32_t>(address), static_cast<uint32_t>(length), 1, {}});
    return true;
}

bool Watchpoints::Remove(WatchKind kind, uint64_t address, uint64_t length) {
    for (auto w = watches_.begin(); w != watches_.end(); ++w)
        if (w->kind == kind && w->address == address && w->length == length) {
            if (--w->count == 0) watches_.erase(w);
            return true;
        }
    return false;
}

void Watchpoints::Begin() {
    for (Watch& w : watches_) {
        if (w.kind == WatchKind::Read) continue;
        // A range that cannot be read whole keeps no value: no instruction
        // can change it, and the value never judges it (see After).
        w.value = target_.ReadMemory(w.address, w.length);
        if (w.value.size() != w.length) w.value.clear();
    }
}

const DecodedInstruction* Watchpoints::InstructionAt(uint32_t pc) {
    auto found = code_.find(pc);
    if (found == code_.end()) {
        const std::vector<uint8_t> code = target_.ReadMemory(pc, 4);
        if (code.size() < 2) return nullptr;
        found = code_.emplace(pc, decoder_.Decode(code.data(), code.size(), pc)).first;
    }
    return &found->second;
}

const DecodedInstruction* Watchpoints::Before(uint32_t pc) {
    current_ = InstructionAt(pc);
    accesses_.clear();
    accessesKnown_ = current_ && current_->known;
    if (accessesKnown_ && !current_->operands.empty() && !watches_.empty()) {
        auto resolved = InstructionDecoder::Resolve(*current_, pc, [&](int reg) { return target_.ReadRegister(reg); });
        if (resolved) accesses_ = std::move(*resolved);
        else accessesKnown_ = false;
    }
    return current_;
}

uint32_t Watchpoints::StraightRun(uint32_t pc) {
    if (!current_ || !current_->known || current_->flow) return 1;
    uint32_t count = 1;
    for (uint32_t at = pc + current_->size; count < kMaxRun;) {
        const DecodedInstruction* next = InstructionAt(at);
        if (!next || !next->known || !next->operands.empty() || next->trap || next->breakpoint) break;
        ++count;
        if (next->flow) break;
        at += next->size;
    }
    return count;
}

std::optional<Watchpoints::Hit> Watchpoints::AccessHit() const {
    for (const DataAccess& a : accesses_)
        for (const Watch& w : watches_) {
            const bool touches = a.address < uint64_t(w.address) + w.length && uint64_t(a.address) + a.size > w.address;
            const bool kindMatches = w.kind == WatchKind::Access || (w.kind == WatchKind::Write) == a.write;
            if (touches && kindMatches) return Hit{w.kind, w.address};
        }
    return std::nullopt;
}

std::optional<Watchpoints::Hit> Watchpoints::After() {
    // Only an instruction whose accesses are not known is judged by the
    // value: one that cannot store leaves every watched value as it was.
    if (accessesKnown_ || (current_ && !current_->MayWrite())) return std::nullopt;
    for (Watch& w : watches_) {
        if (w.kind == WatchKind::Read || w.value.empty()) continue;
        std::vector<uint8_t> now = target_.ReadMemory(w.address, w.length);
        if (now.size() != w.length || now == w.value) continue;
        w.value = std::move(now);
        return Hit{w.kind, w.address};
    }
    return std::nullopt;
}

}  // namespace gdbserver
