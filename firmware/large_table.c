/* About 200 KiB of constant data for the download benchmarks: linked only
 * into demo_large.elf, the sample program with a large image. Only its size
 * matters; the linker keeps it because the build names it a root. */
#include <stdint.h>

#define LARGE_TABLE_WORDS (50u * 1024u)

const uint32_t large_table[LARGE_TABLE_WORDS] = {
    0x01234567u, 0x89abcdefu, 0xfedcba98u, 0x76543210u,
};
