/* Start-up code: the vector table and the reset handler.
 *
 * There is no C library. The reset handler prepares the C run-time state
 * (.data copied from its FLASH image, .bss zeroed) and calls main. The core
 * starts with SP already loaded from the vector table, so nothing else is
 * needed before C code can run. */
#include <stdint.h>

extern uint32_t _estack;
extern uint32_t _sidata, _sdata, _edata;
extern uint32_t _sbss, _ebss;

int main(void);
void Reset_Handler(void);

/* Any exception other than reset parks the core here, where a debugger can
 * see where it ended up. */
static void Default_Handler(void)
{
    for (;;) {
    }
}

/* The handlers a program may define for itself (an RTOS port's SVC, PendSV
 * and SysTick handlers, say); those it leaves out are the default one. */
void SVC_Handler(void) __attribute__((weak, alias("Default_Handler")));
void PendSV_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SysTick_Handler(void) __attribute__((weak, alias("Default_Handler")));

typedef void (*vector_t)(void);

/* Word 0: initial SP, word 1: reset handler (with the Thumb bit set by the
 * linker), then the fixed system exceptions of the Cortex-M3. */
__attribute__((section(".isr_vector"), used))
const vector_t vector_table[16] = {
    (vector_t)&_estack,
    Reset_Handler,
    Default_Handler, /* NMI */
    Default_Handler, /* HardFault */
    Default_Handler, /* MemManage */
    Default_Handler, /* BusFault */
    Default_Handler, /* UsageFault */
    0, 0, 0, 0,      /* reserved */
    SVC_Handler,
    Default_Handler, /* DebugMonitor */
    0,               /* reserved */
    PendSV_Handler,
    SysTick_Handler,
};

void Reset_Handler(void)
{
    uint32_t *src = &_sidata;
    for (uint32_t *dst = &_sdata; dst < &_edata;) {
        *dst++ = *src++;
    }
    for (uint32_t *dst = &_sbss; dst < &_ebss;) {
        *dst++ = 0;
    }
    main();
    for (;;) {
    }
}
