/* Sample program for the Z80 board (sdcc -mz80, started by crt0.s).
 *
 * fill_tables computes square_plus(i) = i*i + 3 for i = 0..7 into table in
 * memory (3 4 7 12 19 28 39 52) and writes the first four of them to the I/O
 * ports 0x10..0x13. Then main counts counter from 0 up to rounds, calls done,
 * and starts again, for ever. A debugger breaks on done to time a run of a
 * known length, and may write rounds first. */
#include <stdint.h>

#define TABLE_SIZE 8

__sfr __at(0x10) port_table0;
__sfr __at(0x11) port_table1;
__sfr __at(0x12) port_table2;
__sfr __at(0x13) port_table3;

const uint8_t signature[4] = {0x5a, 0x80, 0xc0, 0xde};
uint16_t table[TABLE_SIZE];
volatile uint32_t counter;
volatile uint32_t rounds = 3;
volatile uint16_t done_count;

uint16_t square_plus(uint8_t i)
{
    return (uint16_t)i * i + 3;
}

void fill_tables(void)
{
    uint8_t i;
    for (i = 0; i < TABLE_SIZE; i++)
        table[i] = square_plus(i);
    port_table0 = (uint8_t)table[0];
    port_table1 = (uint8_t)table[1];
    port_table2 = (uint8_t)table[2];
    port_table3 = (uint8_t)table[3];
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
