/* Kernel configuration of the FreeRTOS application on QEMU's mps2-an385
 * (Cortex-M3 at 25 MHz, no FPU, 3 priority bits on the real board). */
#ifndef FREERTOS_CONFIG_H
#define FREERTOS_CONFIG_H

#define configCPU_CLOCK_HZ 25000000UL
/* 100 Hz: a debugger that watches memory by stepping lets the clock run
 * during its steps, and the tick handler, stepped, must take less than a
 * tick. At 1 kHz it took longer behind a GDB server on QEMU: the ticks piled
 * up and no task ran again. */
#define configTICK_RATE_HZ 100
#define configUSE_PREEMPTION 1
#define configUSE_TIME_SLICING 1
#define configMAX_PRIORITIES 5
#define configMINIMAL_STACK_SIZE 128
#define configMAX_TASK_NAME_LEN 12
#define configTICK_TYPE_WIDTH_IN_BITS TICK_TYPE_WIDTH_32_BITS
#define configIDLE_SHOULD_YIELD 1
#define configUSE_TICKLESS_IDLE 0

/* Debuggers find the tasks through the kernel's own symbols: the generic
 * task selection keeps one ready list per priority up to uxTopUsedPriority
 * (which the kernel keeps in the image), and the trace facility gives each
 * task a number next to its name. */
#define configUSE_PORT_OPTIMISED_TASK_SELECTION 0
#define configUSE_TRACE_FACILITY 1
#define configRECORD_STACK_HIGH_ADDRESS 1

/* A task's function never returns: a zero return address in its first frame
 * ends a debugger's backtrace there, where the port's prvTaskExitError (a
 * return address just past PendSV_Handler's code) looks like one more frame. */
#define configTASK_RETURN_ADDRESS 0

#define configUSE_MUTEXES 1
#define configUSE_RECURSIVE_MUTEXES 0
#define configUSE_COUNTING_SEMAPHORES 0
#define configQUEUE_REGISTRY_SIZE 4
#define configUSE_TIMERS 1
#define configTIMER_TASK_PRIORITY 1
#define configTIMER_QUEUE_LENGTH 4
#define configTIMER_TASK_STACK_DEPTH configMINIMAL_STACK_SIZE

#define configSUPPORT_DYNAMIC_ALLOCATION 1
#define configSUPPORT_STATIC_ALLOCATION 0
#define configTOTAL_HEAP_SIZE (24 * 1024)

#define configUSE_IDLE_HOOK 1
#define configUSE_TICK_HOOK 0
#define configUSE_MALLOC_FAILED_HOOK 1
#define configCHECK_FOR_STACK_OVERFLOW 2
#define configUSE_CO_ROUTINES 0
#define configUSE_NEWLIB_REENTRANT 0

#define INCLUDE_vTaskDelay 1
#define INCLUDE_vTaskSuspend 1
#define INCLUDE_vTaskDelete 0
#define INCLUDE_uxTaskGetStackHighWaterMark 1
#define INCLUDE_xTaskGetSchedulerState 1

/* Interrupt priorities as the port wants them: the kernel's own (PendSV,
 * SysTick) lowest, and nothing above priority 5 may call the FromISR API. */
#define configPRIO_BITS 3
#define configKERNEL_INTERRUPT_PRIORITY (7 << (8 - configPRIO_BITS))
#define configMAX_SYSCALL_INTERRUPT_PRIORITY (5 << (8 - configPRIO_BITS))

/* The port's handlers under the names the vector table uses
 * (firmware/startup.c). */
#define vPortSVCHandler SVC_Handler
#define xPortPendSVHandler PendSV_Handler
#define xPortSysTickHandler SysTick_Handler

/* A failed assertion stops in vAssertCalled, where a debugger finds the file
 * and the line. */
void vAssertCalled(const char *file, int line);
#define configASSERT(x)                        \
    do {                                       \
        if ((x) == 0) {                        \
            vAssertCalled(__FILE__, __LINE__); \
        }                                      \
    } while (0)

#endif
