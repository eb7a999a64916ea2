/* Entry of the PowerPC sample programs: a stack, then main. No C library. */
    .section .text.start, "ax"
    .globl _start
_start:
    lis     1, _stack_top@h
    ori     1, 1, _stack_top@l
    li      0, 0
    stwu    0, -16(1)
    bl      main
1:  b       1b
