/* PowerPC sample program for QEMU's virtex-ml507 board (PowerPC 440,
 * big-endian): a counting loop that calls a function and fills a table in
 * RAM. Built freestanding with gcc-powerpc-linux-gnu. */
#include <stdint.h>

volatile uint32_t counter;
volatile uint32_t table[8];
/* A word whose bytes show the byte order: 12 34 56 78 in memory. */
volatile uint32_t marker = 0x12345678u;

__attribute__((noinline)) uint32_t square_plus(uint32_t x)
{
    return x * x + 1u;
}

int main(void)
{
    for (;;) {
        for (uint32_t i = 0; i < 8; ++i) {
            table[i] = square_plus(i);
        }
        counter++;
    }
    return 0;
}
