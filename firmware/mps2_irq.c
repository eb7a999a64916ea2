/* Interrupt firmware for QEMU's mps2-an385 board (Cortex-M3, CMSDK UART0).
 *
 * It says hello on UART0, makes one deliberate bad access whose HardFault the
 * handler survives (it steps over the load), then starts two tasks that the
 * PendSV handler switches every SWITCH_TICKS ticks of the 1 kHz SysTick.
 * Everything a debugger looks at is a global: ticks, switches, the tasks'
 * counters, the fault count and the faulting address. No C library. */
#include <stdint.h>

#define REG(addr) (*(volatile uint32_t *)(addr))

/* CMSDK APB UART0 */
#define UART0_DATA REG(0x40004000)
#define UART0_STATE REG(0x40004004)
#define UART0_CTRL REG(0x40004008)
#define UART0_BAUDDIV REG(0x40004010)

/* System control space */
#define SYST_CSR REG(0xE000E010)
#define SYST_RVR REG(0xE000E014)
#define SYST_CVR REG(0xE000E018)
#define SCB_ICSR REG(0xE000ED04)
#define SCB_SHPR3 REG(0xE000ED20)
#define SCB_BFAR REG(0xE000ED38)
#define ICSR_PENDSVSET (1u << 28)

/* Nothing answers here on this board: a load is a bus fault. */
#define UNMAPPED_ADDRESS 0x30000000u
#define SWITCH_TICKS 5u
#define TASK_STACK_WORDS 256u

extern uint32_t _estack;
extern uint32_t _sidata, _sdata, _edata;
extern uint32_t _sbss, _ebss;

volatile uint32_t ticks;
volatile uint32_t switches;
volatile uint32_t task_a_count;
volatile uint32_t task_b_count;
volatile uint32_t fault_count;
volatile uint32_t fault_address;
volatile uint32_t current_task;
uint32_t task_sp[2];
static uint32_t task_stack[2][TASK_STACK_WORDS];

void Reset_Handler(void);
void HardFault_Handler(void);
void SysTick_Handler(void);
void PendSV_Handler(void);
int main(void);

static void Default_Handler(void)
{
    for (;;) {
    }
}

typedef void (*vector_t)(void);

__attribute__((section(".isr_vector"), used))
const vector_t vector_table[16] = {
    (vector_t)&_estack,
    Reset_Handler,
    Default_Handler,   /* NMI */
    HardFault_Handler, /* HardFault */
    Default_Handler,   /* MemManage */
    Default_Handler,   /* BusFault */
    Default_Handler,   /* UsageFault */
    0, 0, 0, 0,
    Default_Handler, /* SVCall */
    Default_Handler, /* DebugMonitor */
    0,
    PendSV_Handler,  /* PendSV */
    SysTick_Handler, /* SysTick */
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

static void uart_puts(const char *text)
{
    while (*text) {
        while (UART0_STATE & 1u) { /* TX full */
        }
        UART0_DATA = (uint8_t)*text++;
    }
}

/* The fault handler records the fault and returns past the faulting 16-bit
 * load, so the program goes on. */
__attribute__((used)) void fault_record(uint32_t *frame)
{
    fault_count++;
    fault_address = SCB_BFAR;
    frame[6] += 2; /* stacked PC */
}

__attribute__((naked)) void HardFault_Handler(void)
{
    __asm volatile(
        "tst lr, #4\n"
        "ite eq\n"
        "mrseq r0, msp\n"
        "mrsne r0, psp\n"
        "push {r4, lr}\n"
        "bl fault_record\n"
        "pop {r4, pc}\n");
}

__attribute__((noinline)) uint32_t bad_access(uint32_t address)
{
    uint32_t value;
    /* One 16-bit load, which the handler steps over. */
    __asm volatile("mov r0, %1\n"
                   "ldr r0, [r0]\n"
                   "mov %0, r0\n"
                   : "=r"(value)
                   : "r"(address)
                   : "r0", "memory");
    return value;
}

void SysTick_Handler(void)
{
    ticks++;
    if (ticks % SWITCH_TICKS == 0) {
        SCB_ICSR = ICSR_PENDSVSET;
    }
}

/* Saves r4-r11 of the running task on its stack, switches task_sp. */
__attribute__((naked)) void PendSV_Handler(void)
{
    __asm volatile(
        "mrs r0, psp\n"
        "stmdb r0!, {r4-r11}\n"
        "ldr r1, =current_task\n"
        "ldr r2, [r1]\n"
        "ldr r3, =task_sp\n"
        "str r0, [r3, r2, lsl #2]\n"
        "eor r2, r2, #1\n"
        "str r2, [r1]\n"
        "ldr r0, [r3, r2, lsl #2]\n"
        "ldmia r0!, {r4-r11}\n"
        "msr psp, r0\n"
        "ldr r1, =switches\n"
        "ldr r2, [r1]\n"
        "add r2, r2, #1\n"
        "str r2, [r1]\n"
        "bx lr\n");
}

__attribute__((noinline)) void task_a_work(void) { task_a_count++; }
__attribute__((noinline)) void task_b_work(void) { task_b_count++; }

static void task_a(void)
{
    for (;;) {
        task_a_work();
    }
}

static void task_b(void)
{
    for (;;) {
        task_b_work();
    }
}

int main(void)
{
    UART0_BAUDDIV = 16;
    UART0_CTRL = 1; /* TX enable */
    uart_puts("hello from mps2-an385\n");

    bad_access(UNMAPPED_ADDRESS);
    uart_puts(fault_count == 1 ? "fault handled\n" : "fault NOT handled\n");

    /* Task B starts from a frame as PendSV leaves it: r4-r11, then the
     * exception frame r0-r3, r12, lr, pc, xpsr. */
    uint32_t *frame = &task_stack[1][TASK_STACK_WORDS - 16];
    for (int i = 0; i < 16; ++i) {
        frame[i] = 0;
    }
    frame[14] = (uint32_t)task_b;  /* pc */
    frame[15] = 0x01000000u;       /* xpsr: Thumb */
    task_sp[1] = (uint32_t)frame;
    current_task = 0;

    SCB_SHPR3 = 0xFFu << 16;  /* PendSV lowest priority, SysTick highest */
    SYST_RVR = 25000u - 1u;   /* 1 kHz at 25 MHz */
    SYST_CVR = 0;
    SYST_CSR = 7u;            /* processor clock, interrupt, enable */

    /* Task A runs on the process stack from here. */
    uint32_t psp = (uint32_t)&task_stack[0][TASK_STACK_WORDS];
    __asm volatile("msr psp, %0\n"
                   "mov r0, #2\n"
                   "msr control, r0\n"
                   "isb\n"
                   :
                   : "r"(psp)
                   : "r0", "memory");
    task_a();
    return 0;
}
