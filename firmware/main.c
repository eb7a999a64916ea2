/* Demo program for the simulated Cortex-M core.
 *
 * It leaves results a debugger can check: compute_table fills table with
 *
 *     table[i] = i*i*i + 3*i + 7      for i = 0..15
 *
 * after which main spins forever, counting loop iterations in loop_count.
 * Both variables are in .bss, so they read as zero until the reset handler
 * and the program have run. */
#include <stdint.h>

#define TABLE_SIZE 16u

uint32_t table[TABLE_SIZE];
volatile uint32_t loop_count;

/* Kept out of line so that it has an address of its own for breakpoints. */
__attribute__((noinline)) void compute_table(void)
{
    for (uint32_t i = 0; i < TABLE_SIZE; ++i) {
        table[i] = i * i * i + 3u * i + 7u;
    }
}

int main(void)
{
    compute_table();
    for (;;) {
        ++loop_count;
    }
}
