/* Sample program for the 8051 board (sdcc -mmcs51, sdcc's own start-up code).
 *
 * fill_tables computes square_plus(i) = i*i + 3 for i = 0..7 from the table
 * in code memory (the values of i) into a table in the upper internal RAM at
 * 0xf0 (IDATA, reached only indirectly: the SFRs answer at the same
 * addresses) and into a table in external RAM (XDATA). Then main counts
 * counter from 0 up to rounds, calls done, and starts again, for ever. */
#include <stdint.h>

#define TABLE_SIZE 8

__code const uint8_t code_table[TABLE_SIZE] = {0, 1, 2, 3, 4, 5, 6, 7};
__idata __at(0xf0) uint8_t idata_table[TABLE_SIZE];
__xdata uint16_t xdata_table[TABLE_SIZE];
volatile uint32_t counter;
volatile __xdata uint32_t rounds = 3;
volatile uint16_t done_count;

uint16_t square_plus(uint8_t i)
{
    return (uint16_t)i * i + 3;
}

void fill_tables(void)
{
    uint8_t i;
    for (i = 0; i < TABLE_SIZE; i++) {
        uint16_t value = square_plus(code_table[i]);
        idata_table[i] = (uint8_t)value;
        xdata_table[i] = value;
    }
}

void done(void)
{
    done_count++;
}

void main(void)
{
    fill_tables();
    for (;;) {
        for (counter = 0; counter != rounds; counter++) {
        }
        done();
    }
}
