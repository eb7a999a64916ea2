/* Semihosting demo: the program prints through the debugger.
 *
 * A semihosting call is `bkpt 0xab` with the operation in r0 and its
 * parameter in r1; the debugger carries it out and resumes after the bkpt
 * with the result in r0. Run it with the debugger's semihosting on
 * (orxdbg --semihosting, orxdbg gdbserver --semihosting, or gdb's
 * `monitor arm semihosting enable`); without it the core stops on the first
 * bkpt. There is no C library: print is a small printf of its own. */
#include <stdarg.h>
#include <stdint.h>

enum {
    SYS_OPEN = 0x01,
    SYS_WRITE0 = 0x04,
    SYS_WRITE = 0x05,
    SYS_CLOCK = 0x10,
    SYS_EXIT_EXTENDED = 0x20,
};
#define ADP_STOPPED_APPLICATION_EXIT 0x20026u

static int semihost(int operation, const void *parameter)
{
    register int r0 __asm__("r0") = operation;
    register const void *r1 __asm__("r1") = parameter;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

/* The console, opened as the C library does: ":tt" in mode "w" (4). */
static int console_handle(void)
{
    static int handle = -1;
    if (handle < 0) {
        const uint32_t block[3] = {(uint32_t)":tt", 4, 3};
        handle = semihost(SYS_OPEN, block);
    }
    return handle;
}

static void write_out(const char *bytes, unsigned count)
{
    const uint32_t block[3] = {(uint32_t)console_handle(), (uint32_t)bytes, count};
    semihost(SYS_WRITE, block);
}

/* Digits of value in base (10 or 16) at the end of buffer; returns the first. */
static char *digits(char *end, uint32_t value, unsigned base)
{
    *--end = '\0';
    do {
        *--end = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    return end;
}

/* printf for %d, %u, %x, %s, %c and %%, one SYS_WRITE per call. */
__attribute__((format(printf, 1, 2))) static void print(const char *format, ...)
{
    char line[128];
    unsigned n = 0;
    va_list args;
    va_start(args, format);
    for (const char *f = format; *f && n < sizeof line - 1; ++f) {
        char number[12];
        const char *piece = number;
        if (*f != '%' || f[1] == '\0') {
            line[n++] = *f;
            continue;
        }
        switch (*++f) {
        case 'd': {
            const int value = va_arg(args, int);
            char *text = digits(number + sizeof number, value < 0 ? -(uint32_t)value : (uint32_t)value, 10);
            if (value < 0) {
                *--text = '-';
            }
            piece = text;
            break;
        }
        case 'u': piece = digits(number + sizeof number, va_arg(args, unsigned), 10); break;
        case 'x': piece = digits(number + sizeof number, va_arg(args, unsigned), 16); break;
        case 's': piece = va_arg(args, const char *); break;
        case 'c': number[0] = (char)va_arg(args, int); number[1] = '\0'; break;
        default: number[0] = *f; number[1] = '\0'; break;
        }
        while (*piece && n < sizeof line - 1) {
            line[n++] = *piece++;
        }
    }
    va_end(args);
    write_out(line, n);
}

static void exit_with(uint32_t code)
{
    const uint32_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, code};
    semihost(SYS_EXIT_EXTENDED, block);
}

volatile unsigned squares_sum;

int main(void)
{
    semihost(SYS_WRITE0, "hello from the simulated Cortex-M3\n");
    for (unsigned i = 1; i <= 10; ++i) {
        squares_sum += i * i;
    }
    print("sum of the squares 1..%d: %u (0x%x), %s\n", 10, squares_sum, squares_sum, "via SYS_WRITE");
    print("clock: %d centiseconds since the start\n", semihost(SYS_CLOCK, 0));
    exit_with(squares_sum == 385 ? 0 : 1);
    for (;;) {
    }
}
