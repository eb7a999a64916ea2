#include "tools/gdbserver/Watchpoints.h"

#include <capstone/capstone.h>

#include <algorithm>

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

}  // namespace

bool DecodedInstruction::MayWrite() const {
    if (!known) return true;
    return std::any_of(operands.begin(), operands.end(), [](const Operand& o) { return o.write; });
}

struct InstructionDecoder::Handle {
    csh cs = 0;
    bool ok = false;
};

InstructionDecoder::InstructionDecoder() : handle_(std::make_unique<Handle>()) {
    handle_->ok = cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle_->cs) == CS_ERR_OK;
    if (handle_->ok) cs_option(handle_->cs, CS_OPT_DETAIL, CS_OPT_ON);
}

InstructionDecoder::~InstructionDecoder() {
    if (handle_->ok) cs_close(&handle_->cs);
}

DecodedInstruction InstructionDecoder::Decode(const uint8_t* code, std::size_t count, uint32_t pc) const {
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
