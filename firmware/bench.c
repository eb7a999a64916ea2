/* Program for bench/gdb_vs_qemu.sh: the debugger's habits that stop often,
 * one after the other, each preceded by a function the session breaks at.
 *
 *   f            called with i = 0, 1, 2... (break f if i == 1000)
 *   lines200     200 one-line statements (next over each)
 *   leaf         called 100 times (finish out of each)
 *   watch_loop   writes `watched` once per iteration (watch watched)
 *   compute      about 10^8 instructions, then compute_done
 *
 * The same ELF runs on QEMU's lm3s6965evb and on the simulated Cortex-M. */
#include <stdint.h>

volatile uint32_t sink;
volatile uint32_t watched;
volatile uint32_t result;

__attribute__((noinline)) void f(uint32_t i)
{
    sink += i;
}

__attribute__((noinline)) uint32_t leaf(uint32_t x)
{
    return x * 3u + 1u;
}

__attribute__((noinline)) void phase_done(void)
{
    sink += 1u;
}

__attribute__((noinline)) void compute_done(void)
{
    sink += 2u;
}

/* Four instructions per iteration at -O1 (mla, subs, cmp, bne), 25 * 10^6
 * iterations. */
__attribute__((noinline)) uint32_t compute(uint32_t n)
{
    uint32_t x = 1u;
    while (n-- != 0u) {
        x = x * 1664525u + 1013904223u;
    }
    return x;
}

__attribute__((noinline)) void watch_loop(void)
{
    for (uint32_t j = 0; j < 1000000u; ++j) {
        watched = j;
        sink += j;
    }
}

__attribute__((noinline)) void lines200(void)
{
    sink += 1u;
    sink += 2u;
    sink += 3u;
    sink += 4u;
    sink += 5u;
    sink += 6u;
    sink += 7u;
    sink += 8u;
    sink += 9u;
    sink += 10u;
    sink += 11u;
    sink += 12u;
    sink += 13u;
    sink += 14u;
    sink += 15u;
    sink += 16u;
    sink += 17u;
    sink += 18u;
    sink += 19u;
    sink += 20u;
    sink += 21u;
    sink += 22u;
    sink += 23u;
    sink += 24u;
    sink += 25u;
    sink += 26u;
    sink += 27u;
    sink += 28u;
    sink += 29u;
    sink += 30u;
    sink += 31u;
    sink += 32u;
    sink += 33u;
    sink += 34u;
    sink += 35u;
    sink += 36u;
    sink += 37u;
    sink += 38u;
    sink += 39u;
    sink += 40u;
    sink += 41u;
    sink += 42u;
    sink += 43u;
    sink += 44u;
    sink += 45u;
    sink += 46u;
    sink += 47u;
    sink += 48u;
    sink += 49u;
    sink += 50u;
    sink += 51u;
    sink += 52u;
    sink += 53u;
    sink += 54u;
    sink += 55u;
    sink += 56u;
    sink += 57u;
    sink += 58u;
    sink += 59u;
    sink += 60u;
    sink += 61u;
    sink += 62u;
    sink += 63u;
    sink += 64u;
    sink += 65u;
    sink += 66u;
    sink += 67u;
    sink += 68u;
    sink += 69u;
    sink += 70u;
    sink += 71u;
    sink += 72u;
    sink += 73u;
    sink += 74u;
    sink += 75u;
    sink += 76u;
    sink += 77u;
    sink += 78u;
    sink += 79u;
    sink += 80u;
    sink += 81u;
    sink += 82u;
    sink += 83u;
    sink += 84u;
    sink += 85u;
    sink += 86u;
    sink += 87u;
    sink += 88u;
    sink += 89u;
    sink += 90u;
    sink += 91u;
    sink += 92u;
    sink += 93u;
    sink += 94u;
    sink += 95u;
    sink += 96u;
    sink += 97u;
    sink += 98u;
    sink += 99u;
    sink += 100u;
    sink += 101u;
    sink += 102u;
    sink += 103u;
    sink += 104u;
    sink += 105u;
    sink += 106u;
    sink += 107u;
    sink += 108u;
    sink += 109u;
    sink += 110u;
    sink += 111u;
    sink += 112u;
    sink += 113u;
    sink += 114u;
    sink += 115u;
    sink += 116u;
    sink += 117u;
    sink += 118u;
    sink += 119u;
    sink += 120u;
    sink += 121u;
    sink += 122u;
    sink += 123u;
    sink += 124u;
    sink += 125u;
    sink += 126u;
    sink += 127u;
    sink += 128u;
    sink += 129u;
    sink += 130u;
    sink += 131u;
    sink += 132u;
    sink += 133u;
    sink += 134u;
    sink += 135u;
    sink += 136u;
    sink += 137u;
    sink += 138u;
    sink += 139u;
    sink += 140u;
    sink += 141u;
    sink += 142u;
    sink += 143u;
    sink += 144u;
    sink += 145u;
    sink += 146u;
    sink += 147u;
    sink += 148u;
    sink += 149u;
    sink += 150u;
    sink += 151u;
    sink += 152u;
    sink += 153u;
    sink += 154u;
    sink += 155u;
    sink += 156u;
    sink += 157u;
    sink += 158u;
    sink += 159u;
    sink += 160u;
    sink += 161u;
    sink += 162u;
    sink += 163u;
    sink += 164u;
    sink += 165u;
    sink += 166u;
    sink += 167u;
    sink += 168u;
    sink += 169u;
    sink += 170u;
    sink += 171u;
    sink += 172u;
    sink += 173u;
    sink += 174u;
    sink += 175u;
    sink += 176u;
    sink += 177u;
    sink += 178u;
    sink += 179u;
    sink += 180u;
    sink += 181u;
    sink += 182u;
    sink += 183u;
    sink += 184u;
    sink += 185u;
    sink += 186u;
    sink += 187u;
    sink += 188u;
    sink += 189u;
    sink += 190u;
    sink += 191u;
    sink += 192u;
    sink += 193u;
    sink += 194u;
    sink += 195u;
    sink += 196u;
    sink += 197u;
    sink += 198u;
    sink += 199u;
    sink += 200u;
}

int main(void)
{
    for (uint32_t i = 0; i < 2000u; ++i) {
        f(i);
    }
    phase_done();
    lines200();
    phase_done();
    for (uint32_t k = 0; k < 100u; ++k) {
        result = leaf(k);
    }
    phase_done();
    result = compute(25000000u);
    compute_done();
    watch_loop();
    for (;;) {
    }
}
