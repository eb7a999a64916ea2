/* A FreeRTOS application for QEMU's mps2-an385 board (Cortex-M3, CMSDK UART0
 * at 0x40004000), small enough to follow in a debugger:
 *
 *   producer  priority 2  produce_item() counts producer_count up and sends
 *                         the count to the queue, then sleeps 1 tick (10 ms)
 *   consumer  priority 3  blocks on the queue; consume_item() adds each item
 *   logger    priority 1  every 20 ticks takes the UART mutex and prints a
 *                         line (log_line), as the consumer does every 100 items
 *   heartbeat             a 10-tick (100 ms) software timer (the timer service task,
 *                         priority 1) counting timer_count
 *   IDLE                  the idle hook counts idle_count
 *
 * So five tasks run, and only an item sent wakes a task above the producer:
 * from a stop in the producer the next switch is to the consumer, whenever
 * the ticks come. A failed configASSERT, a stack overflow or an empty heap
 * stops in vAssertCalled's loop with the file and the line in assert_file and
 * assert_line. The vector table and the reset handler are firmware/startup.c;
 * the port's SVC, PendSV and SysTick handlers fill its slots under their CMSIS
 * names (FreeRTOSConfig.h). */
#include <stdint.h>

#include "FreeRTOS.h"
#include "queue.h"
#include "semphr.h"
#include "task.h"
#include "timers.h"

#define REG(addr) (*(volatile uint32_t *)(addr))

/* CMSDK APB UART0 */
#define UART0_DATA REG(0x40004000)
#define UART0_STATE REG(0x40004004)
#define UART0_CTRL REG(0x40004008)
#define UART0_BAUDDIV REG(0x40004010)
#define UART_STATE_TX_FULL 1u
#define UART_CTRL_TX_ENABLE 1u

#define PRODUCER_PRIORITY (tskIDLE_PRIORITY + 2)
#define CONSUMER_PRIORITY (tskIDLE_PRIORITY + 3)
#define LOGGER_PRIORITY (tskIDLE_PRIORITY + 1)
#define PRODUCER_PERIOD_TICKS 1
#define LOGGER_PERIOD_TICKS 20
#define HEARTBEAT_PERIOD_TICKS 10
#define REPORT_EVERY_ITEMS 100u
#define QUEUE_LENGTH 4

volatile uint32_t producer_count;
volatile uint32_t consumer_count;
volatile uint32_t consumer_total;
volatile uint32_t logger_count;
volatile uint32_t timer_count;
volatile uint32_t idle_count;

/* Where an assertion failed; vAssertCalled waits while assert_line is not 0. */
const char *volatile assert_file;
volatile int assert_line;

QueueHandle_t item_queue;
SemaphoreHandle_t uart_mutex;
TimerHandle_t heartbeat_timer;

static void uart_init(void)
{
    UART0_BAUDDIV = 16;
    UART0_CTRL = UART_CTRL_TX_ENABLE;
}

static void uart_puts(const char *text)
{
    while (*text) {
        while (UART0_STATE & UART_STATE_TX_FULL) {
        }
        UART0_DATA = (uint8_t)*text++;
    }
}

static void uart_put_uint(uint32_t value)
{
    char digits[11];
    char *p = &digits[sizeof digits - 1];
    *p = '\0';
    do {
        *--p = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    uart_puts(p);
}

__attribute__((noinline)) void vAssertCalled(const char *file, int line)
{
    taskDISABLE_INTERRUPTS();
    assert_file = file;
    assert_line = line;
    /* Stopped for good: a debugger breaks here and reads assert_file and
     * assert_line. */
    for (;;) {
    }
}

void vApplicationStackOverflowHook(TaskHandle_t task, char *name)
{
    (void)task;
    vAssertCalled(name, 0);
}

void vApplicationMallocFailedHook(void)
{
    vAssertCalled(__FILE__, __LINE__);
}

void vApplicationIdleHook(void)
{
    idle_count++;
}

__attribute__((noinline)) uint32_t produce_item(void)
{
    producer_count++;
    return producer_count;
}

__attribute__((noinline)) uint32_t consume_item(uint32_t item)
{
    consumer_total += item;
    consumer_count++;
    return consumer_count;
}

__attribute__((noinline)) void log_line(void)
{
    xSemaphoreTake(uart_mutex, portMAX_DELAY);
    uart_puts("logger: ");
    uart_put_uint(consumer_count);
    uart_puts(" items, ");
    uart_put_uint(timer_count);
    uart_puts(" heartbeats\n");
    logger_count++;
    xSemaphoreGive(uart_mutex);
}

static void create_task(TaskFunction_t code, const char *name, configSTACK_DEPTH_TYPE stack_words,
                        UBaseType_t priority)
{
    BaseType_t created = xTaskCreate(code, name, stack_words, NULL, priority, NULL);
    configASSERT(created == pdPASS);
}

static void heartbeat(TimerHandle_t timer)
{
    (void)timer;
    timer_count++;
}

static void producer_task(void *arg)
{
    (void)arg;
    for (;;) {
        uint32_t item = produce_item();
        xQueueSend(item_queue, &item, portMAX_DELAY);
        vTaskDelay(PRODUCER_PERIOD_TICKS);
    }
}

static void consumer_task(void *arg)
{
    (void)arg;
    for (;;) {
        uint32_t item;
        if (xQueueReceive(item_queue, &item, portMAX_DELAY) != pdPASS) {
            continue;
        }
        if (consume_item(item) % REPORT_EVERY_ITEMS == 0) {
            xSemaphoreTake(uart_mutex, portMAX_DELAY);
            uart_puts("consumer: ");
            uart_put_uint(consumer_count);
            uart_puts(" items\n");
            xSemaphoreGive(uart_mutex);
        }
    }
}

static void logger_task(void *arg)
{
    (void)arg;
    for (;;) {
        log_line();
        vTaskDelay(LOGGER_PERIOD_TICKS);
    }
}

int main(void)
{
    uart_init();
    uart_puts("FreeRTOS on mps2-an385\n");

    item_queue = xQueueCreate(QUEUE_LENGTH, sizeof(uint32_t));
    uart_mutex = xSemaphoreCreateMutex();
    heartbeat_timer = xTimerCreate("heartbeat", HEARTBEAT_PERIOD_TICKS, pdTRUE, NULL, heartbeat);
    configASSERT(item_queue != NULL && uart_mutex != NULL && heartbeat_timer != NULL);
    vQueueAddToRegistry(item_queue, "items");
    vQueueAddToRegistry(uart_mutex, "uart");

    create_task(producer_task, "producer", configMINIMAL_STACK_SIZE, PRODUCER_PRIORITY);
    create_task(consumer_task, "consumer", configMINIMAL_STACK_SIZE, CONSUMER_PRIORITY);
    create_task(logger_task, "logger", configMINIMAL_STACK_SIZE * 2, LOGGER_PRIORITY);
    BaseType_t started = xTimerStart(heartbeat_timer, 0);
    configASSERT(started == pdPASS);

    vTaskStartScheduler();
    /* Only when the heap is too small for the idle or the timer task. */
    vAssertCalled(__FILE__, __LINE__);
    return 0;
}
