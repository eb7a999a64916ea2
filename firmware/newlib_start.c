/* Start-up for programs on newlib's semihosting library (rdimon): ours
 * (newlib_exit.c, newlib_files.c) and gdb's testsuite's. A vector table and a reset handler that sets the stack, copies
 * .data from where it was loaded and enters the C library's _start, which
 * clears .bss, asks the debugger for the heap and calls main. The stack is
 * set here because gdb's load puts the pc at the entry point without the
 * reset that would read the stack pointer from the vector table. */
#include <stdint.h>

extern uint32_t _sidata[], _sdata[], _edata[], _estack[];
void _start(void);

static void __attribute__((noreturn, used)) copy_data_and_start(void)
{
    for (uint32_t *from = _sidata, *to = _sdata; to < _edata;)
        *to++ = *from++;
    _start();
    for (;;) {
    }
}

void __attribute__((naked, noreturn)) Reset_Handler(void)
{
    __asm volatile("ldr r0, =_estack\n"
                   "mov sp, r0\n"
                   "b copy_data_and_start\n");
}

__attribute__((section(".isr_vector"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))_estack,
    Reset_Handler,
};
