/* The decrementer's interrupt vector for irq.c: the volatile registers (r0,
 * r3..r12, LR, CR, CTR, XER) on the interrupted stack, decrementer_tick,
 * and back with rfi (SRR0/SRR1). Aligned as IVOR10 needs. */
    .text
    .align  4
    .globl  decrementer_vector
    .type   decrementer_vector, @function
decrementer_vector:
    stwu    1, -80(1)
    stw     0, 8(1)
    stw     3, 12(1)
    stw     4, 16(1)
    stw     5, 20(1)
    stw     6, 24(1)
    stw     7, 28(1)
    stw     8, 32(1)
    stw     9, 36(1)
    stw     10, 40(1)
    stw     11, 44(1)
    stw     12, 48(1)
    mflr    0
    stw     0, 52(1)
    mfcr    0
    stw     0, 56(1)
    mfctr   0
    stw     0, 60(1)
    mfxer   0
    stw     0, 64(1)
    bl      decrementer_tick
    lwz     0, 64(1)
    mtxer   0
    lwz     0, 60(1)
    mtctr   0
    lwz     0, 56(1)
    mtcr    0
    lwz     0, 52(1)
    mtlr    0
    lwz     12, 48(1)
    lwz     11, 44(1)
    lwz     10, 40(1)
    lwz     9, 36(1)
    lwz     8, 32(1)
    lwz     7, 28(1)
    lwz     6, 24(1)
    lwz     5, 20(1)
    lwz     4, 16(1)
    lwz     3, 12(1)
    lwz     0, 8(1)
    addi    1, 1, 80
    rfi
    .size   decrementer_vector, . - decrementer_vector
