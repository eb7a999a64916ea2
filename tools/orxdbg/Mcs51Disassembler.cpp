#include "tools/orxdbg/Mcs51Disassembler.h"

#include <cstdio>
#include <utility>

namespace orxdbg {

namespace {

// Operand forms, in the order their bytes follow the opcode.
enum Form : uint8_t {
    None,       // no operand byte
    Direct,     // dir
    Immediate,  // #data
    Bit,        // bit
    Relative,   // rel
    Abs11,      // addr11 (page bits in the opcode)
    Abs16,      // addr16
    Imm16,      // #data16
};

struct Pattern {
    const char* text;  // '%' marks where each operand goes
    Form forms[3];
};

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// The row of the opcode map for opcodes 0x0X..0xFX whose low nibble is 0..5;
// 6..7 are @R0/@R1 and 8..F R0..R7 forms of the row's arithmetic.
Pattern Lookup(uint8_t op) {
    const uint8_t row = op >> 4, col = op & 0x0f;
    if (col == 0x1) return (row & 1) ? Pattern{"acall\t%", {Abs11}} : Pattern{"ajmp\t%", {Abs11}};
    static const Pattern kLow[16][5] = {
        /* 0 */ {{"nop", {}}, {}, {"ljmp\t%", {Abs16}}, {"rr\ta", {}}, {"inc\ta", {}}},
        /* 1 */ {{"jbc\t%, %", {Bit, Relative}}, {}, {"lcall\t%", {Abs16}}, {"rrc\ta", {}}, {"dec\ta", {}}},
        /* 2 */ {{"jb\t%, %", {Bit, Relative}}, {}, {"ret", {}}, {"rl\ta", {}}, {"add\ta, %", {Immediate}}},
        /* 3 */ {{"jnb\t%, %", {Bit, Relative}}, {}, {"reti", {}}, {"rlc\ta", {}}, {"addc\ta, %", {Immediate}}},
        /* 4 */ {{"jc\t%", {Relative}}, {}, {"orl\t%, a", {Direct}}, {"orl\t%, %", {Direct, Immediate}}, {"orl\ta, %", {Immediate}}},
        /* 5 */ {{"jnc\t%", {Relative}}, {}, {"anl\t%, a", {Direct}}, {"anl\t%, %", {Direct, Immediate}}, {"anl\ta, %", {Immediate}}},
        /* 6 */ {{"jz\t%", {Relative}}, {}, {"xrl\t%, a", {Direct}}, {"xrl\t%, %", {Direct, Immediate}}, {"xrl\ta, %", {Immediate}}},
        /* 7 */ {{"jnz\t%", {Relative}}, {}, {"orl\tc, %", {Bit}}, {"jmp\t@a+dptr", {}}, {"mov\ta, %", {Immediate}}},
        /* 8 */ {{"sjmp\t%", {Relative}}, {}, {"anl\tc, %", {Bit}}, {"movc\ta, @a+pc", {}}, {"div\tab", {}}},
        /* 9 */ {{"mov\tdptr, %", {Imm16}}, {}, {"mov\t%, c", {Bit}}, {"movc\ta, @a+dptr", {}}, {"subb\ta, %", {Immediate}}},
        /* A */ {{"orl\tc, /%", {Bit}}, {}, {"mov\tc, %", {Bit}}, {"inc\tdptr", {}}, {"mul\tab", {}}},
        /* B */ {{"anl\tc, /%", {Bit}}, {}, {"cpl\t%", {Bit}}, {"cpl\tc", {}}, {"cjne\ta, %, %", {Immediate, Relative}}},
        /* C */ {{"push\t%", {Direct}}, {}, {"clr\t%", {Bit}}, {"clr\tc", {}}, {"swap\ta", {}}},
        /* D */ {{"pop\t%", {Direct}}, {}, {"setb\t%", {Bit}}, {"setb\tc", {}}, {"da\ta", {}}},
        /* E */ {{"movx\ta, @dptr", {}}, {}, {"movx\ta, @r0", {}}, {"movx\ta, @r1", {}}, {"clr\ta", {}}},
        /* F */ {{"movx\t@dptr, a", {}}, {}, {"movx\t@r0, a", {}}, {"movx\t@r1, a", {}}, {"cpl\ta", {}}},
    };
    if (col < 5) return kLow[row][col];
    // Column 5 (direct), 6..7 (@Ri), 8..F (Rn): one operation per row. The
    // operand text "X" stands for the register or direct form.
    static const Pattern kRegister[16] = {
        {"inc\tX", {}},        {"dec\tX", {}},        {"add\ta, X", {}},    {"addc\ta, X", {}},
        {"orl\ta, X", {}},     {"anl\ta, X", {}},     {"xrl\ta, X", {}},    {"mov\tX, %", {Immediate}},
        {"mov\t%, X", {Direct}}, {"subb\ta, X", {}},  {"mov\tX, %", {Direct}}, {"cjne\tX, %, %", {Immediate, Relative}},
        {"xch\ta, X", {}},     {"djnz\tX, %", {Relative}}, {"mov\ta, X", {}}, {"mov\tX, a", {}},
    };
    Pattern p = kRegister[row];
    if (col == 5) {
        // The direct forms, where they differ from the register ones.
        switch (row) {
            case 0x7: return {"mov\t%, %", {Direct, Immediate}};
            case 0x8: return {"mov\t%, %", {Direct, Direct}};  // source byte first, see Decode
            case 0xA: return {"(reserved 0xa5)", {}};
            case 0xB: return {"cjne\ta, %, %", {Direct, Relative}};
            case 0xD: return {"djnz\t%, %", {Direct, Relative}};
            case 0xE: return {"mov\ta, %", {Direct}};
            case 0xF: return {"mov\t%, a", {Direct}};
            default: break;
        }
        // "op a, X" and "inc/dec X" with X the direct byte, which comes first.
        Pattern direct{p.text, {Direct, p.forms[0], p.forms[1]}};
        return direct;
    }
    if (row == 0xD && col < 8) return {col == 6 ? "xchd\ta, @r0" : "xchd\ta, @r1", {}};
    return p;
}

}  // namespace

uint32_t Mcs51InstructionSize(uint8_t opcode) {
    const Pattern p = Lookup(opcode);
    uint32_t size = 1;
    for (Form f : p.forms) {
        if (f == None) break;
        size += (f == Abs16 || f == Imm16) ? 2 : 1;
    }
    return size;
}

Mcs51Instruction DecodeMcs51(const uint8_t* bytes, std::size_t available, uint32_t address) {
    if (available == 0) return {};
    const uint8_t op = bytes[0];
    const uint32_t size = Mcs51InstructionSize(op);
    if (available < size) return {};
    const Pattern p = Lookup(op);
    const uint32_t next = address + size;
    // Operand texts in the order of their bytes.
    std::string operands[3];
    std::size_t at = 1;
    int count = 0;
    for (Form f : p.forms) {
        if (f == None) break;
        std::string& text = operands[count++];
        switch (f) {
            case Direct: text = Hex(bytes[at++], 2); break;
            case Immediate: text = "#" + Hex(bytes[at++], 2); break;
            case Bit: text = Hex(bytes[at++], 2); break;
            case Relative: text = Hex((next + static_cast<uint32_t>(static_cast<int8_t>(bytes[at++]))) & 0xffff, 4); break;
            case Abs11: text = Hex((next & 0xf800) | (uint32_t(op >> 5) << 8) | bytes[at++], 4); break;
            case Abs16: text = Hex(uint32_t(bytes[at]) << 8 | bytes[at + 1], 4); at += 2; break;
            case Imm16: text = "#" + Hex(uint32_t(bytes[at]) << 8 | bytes[at + 1], 4); at += 2; break;
            case None: break;
        }
    }
    // mov dir, dir: the source byte comes first, the destination second.
    if (op == 0x85) std::swap(operands[0], operands[1]);
    std::string reg;
    const uint8_t col = op & 0x0f;
    if (col >= 8) reg = "r" + std::to_string(col - 8);
    else if (col == 6 || col == 7) reg = "@r" + std::to_string(col - 6);
    std::string text;
    int used = 0;
    for (const char* c = p.text; *c; ++c) {
        if (*c == '%') text += operands[used++];
        else if (*c == 'X' && !reg.empty()) text += reg;
        else if (*c == 'X') text += operands[used++];
        else text += *c;
    }
    return {size, text};
}

}  // namespace orxdbg
