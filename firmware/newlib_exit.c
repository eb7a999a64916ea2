/* A program on newlib with semihosting (--specs=rdimon.specs): the C
 * library's start-up asks the debugger for its heap, opens ":tt" and reads
 * ":semihosting-features"; printf writes through SYS_WRITE, and exit(3)
 * passes its code with SYS_EXIT_EXTENDED when the features say the debugger
 * takes one (SYS_EXIT otherwise, which carries none). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

extern uint32_t _sidata[], _sdata[], _edata[], _estack[];
void _start(void);

/* The C library's start-up clears .bss but leaves .data where it was
 * loaded: here it is copied to RAM first. */
void Reset_Handler(void)
{
    for (uint32_t *from = _sidata, *to = _sdata; to < _edata;)
        *to++ = *from++;
    _start();
}

__attribute__((section(".isr_vector"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))_estack,
    Reset_Handler,
};

int counter = 40;

int main(void)
{
    counter += 2;
    printf("newlib says %d\n", counter);
    fprintf(stderr, "and exits with 3\n");
    exit(3);
}
