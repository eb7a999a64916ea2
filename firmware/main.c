/* Demo program for the simulated Cortex-M core.
 *
 * It leaves results a debugger can check: compute_table fills table with
 *
 *     table[i] = i*i*i + 3*i + 7      for i = 0..15
 *
 * and sum_table adds the entries up (14872) into table_sum, after which main
 * spins forever, counting loop iterations in loop_count. The variables are
 * in .bss, so they read as zero until the reset handler and the program have
 * run. */
#include <stdint.h>

#define TABLE_SIZE 16u

uint32_t table[TABLE_SIZE];
volatile uint32_t table_sum;
volatile uint32_t loop_count;

/* Kept out of line so that it has an address of its own for breakpoints. */
__attribute__((noinline)) void compute_table(void)
{
    for (uint32_t i = 0; i < TABLE_SIZE; ++i) {
        table[i] = i * i * i + 3u * i + 7u;
    }
}

/* A function with arguments and a result, for debuggers' finish. */
__attribute__((noinline)) uint32_t sum_table(const uint32_t *values, uint32_t count)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum += values[i];
    }
    return sum;
}

int main(void)
{
    compute_table();
    table_sum = sum_table(table, TABLE_SIZE);
    for (;;) {
        ++loop_count;
    }
}
