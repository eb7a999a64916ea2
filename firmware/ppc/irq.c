/* PowerPC interrupt program for QEMU's virtex-ml507 board (PowerPC 440):
 * the decrementer interrupts every TICK_PERIOD time-base ticks (Book E:
 * IVPR/IVOR10 give the vector, TCR[DIE] enables the interrupt, TCR[ARE]
 * reloads the decrementer from DECAR, the handler clears TSR[DIS]). Only the
 * handler writes ticks; the main loop reads it and writes last_tick when it
 * has moved on, and spins otherwise. Built freestanding with
 * gcc-powerpc-linux-gnu, with start.S and ppc.ld. */
#include <stdint.h>

#define SPR_DEC 22
#define SPR_DECAR 54
#define SPR_IVPR 63
#define SPR_TSR 336
#define SPR_TCR 340
#define SPR_IVOR10 410

#define TCR_DIE 0x04000000u /* decrementer interrupt enable */
#define TCR_ARE 0x00400000u /* auto-reload from DECAR */
#define TSR_DIS 0x08000000u /* decrementer interrupt status, written 1 to clear */

/* 100 ms of the board's 400 MHz time base: long beside the few instructions
 * the main loop needs to see a tick, even with a debugger stepping it. */
#define TICK_PERIOD 40000000u

#define MTSPR(spr, value) __asm__ volatile("mtspr %0, %1" : : "i"(spr), "r"(value))

volatile uint32_t ticks;     /* the decrementer handler's count */
volatile uint32_t last_tick; /* the count as the main loop last saw it */
volatile uint32_t spins;     /* main loop rounds */

/* The vector (irq_vector.S): saves the volatile registers, calls
 * decrementer_tick, returns with rfi. */
extern char decrementer_vector[];

void decrementer_tick(void)
{
    ticks++;
    MTSPR(SPR_TSR, TSR_DIS);
}

int main(void)
{
    const uint32_t vector = (uint32_t)decrementer_vector;
    MTSPR(SPR_IVPR, vector & 0xffff0000u);
    MTSPR(SPR_IVOR10, vector & 0x0000fff0u);
    MTSPR(SPR_DECAR, TICK_PERIOD);
    MTSPR(SPR_DEC, TICK_PERIOD);
    MTSPR(SPR_TSR, TSR_DIS);
    MTSPR(SPR_TCR, TCR_DIE | TCR_ARE);
    __asm__ volatile("wrteei 1");
    for (;;) {
        const uint32_t now = ticks;
        if (now != last_tick) {
            last_tick = now;
        } else {
            spins++;
        }
    }
    return 0;
}
