// 8051 instructions as text, for orxdbg's stop display and disassemble
// command (Capstone has no 8051).
#pragma once

#include <cstdint>
#include <string>

namespace orxdbg {

struct Mcs51Instruction {
    uint32_t size = 0;  // 1..3 bytes
    std::string text;   // "mov\tr7, #0x00", "lcall\t0x0062"
};

// The length of the instruction whose opcode is given.
uint32_t Mcs51InstructionSize(uint8_t opcode);

// Decodes the instruction at address from its bytes (at least
// Mcs51InstructionSize(bytes[0]) of them; size 0 when fewer are given).
// Jump targets are absolute addresses.
Mcs51Instruction DecodeMcs51(const uint8_t* bytes, std::size_t available, uint32_t address);

}  // namespace orxdbg
