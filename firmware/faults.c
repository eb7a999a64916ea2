/* A program that stops where a debugger must report a fault: a breakpoint
 * instruction compiled into the code, and a read of an address that no
 * memory answers at. Each sits on a line of its own, so that a debugger's
 * next and step meet it. Linked with startup.c into faults.elf. */
#include <stdint.h>

volatile uint32_t progress;

/* Nothing is mapped at this address in the simulated Cortex-M. */
#define UNMAPPED ((volatile const uint32_t *)0x40000000u)

__attribute__((noinline)) uint32_t read_unmapped(void)
{
    uint32_t value = *UNMAPPED;
    return value + 1u;
}

int main(void)
{
    progress = 1u;
    __asm volatile("bkpt #0x2a");
    progress = 2u;
    progress = read_unmapped();
    for (;;) {
    }
}
