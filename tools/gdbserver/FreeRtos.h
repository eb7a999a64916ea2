// FreeRTOS tasks as gdb's threads: what the server reads of the kernel's
// lists and of the stacks of the tasks that do not run. Nothing here knows a
// packet or the target; memory comes in through a reading function, so the
// same code reads a live target and a test's memory image.
//
// The kernel's variables are found by name through gdb (qSymbol); their
// layout is the table below, for the Cortex-M3/M4 port without FPU (GCC
// ARM_CM3): 32-bit pointers and ticks, one core, no MPU, no list integrity
// bytes, mini list items as list ends. A test checks the table against the
// debug information of the FreeRTOS application.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gdbserver::freertos {

// Offsets in bytes.
struct Layout {
    // ListItem_t
    uint32_t itemValue;
    uint32_t itemNext;
    uint32_t itemOwner;
    uint32_t itemContainer;
    // List_t
    uint32_t listItemCount;  // uxNumberOfItems
    uint32_t listEnd;        // xListEnd, a mini list item (value, next, previous)
    uint32_t listSize;       // sizeof(List_t): the step between pxReadyTasksLists[i]
    // TCB_t
    uint32_t tcbTopOfStack;
    uint32_t tcbStateItem;  // xStateListItem
    uint32_t tcbEventItem;  // xEventListItem
    uint32_t tcbPriority;   // uxPriority
    uint32_t tcbName;       // pcTaskName
    uint32_t nameLength;    // the most bytes of a name read: it ends at its NUL, within
                            // configMAX_TASK_NAME_LEN (16 by default, or fewer)
};

inline constexpr Layout kCortexM{
    .itemValue = 0,
    .itemNext = 4,
    .itemOwner = 12,
    .itemContainer = 16,
    .listItemCount = 0,
    .listEnd = 8,
    .listSize = 20,
    .tcbTopOfStack = 0,
    .tcbStateItem = 4,
    .tcbEventItem = 24,
    .tcbPriority = 44,
    .tcbName = 52,
    .nameLength = 16,
};
// ListItem_t is five words; a TCB's two list items follow its stack pointer.
static_assert(kCortexM.itemContainer + 4 == kCortexM.tcbEventItem - kCortexM.tcbStateItem);
static_assert(kCortexM.tcbEventItem + 20 == kCortexM.tcbPriority);
static_assert(kCortexM.listEnd + 12 == kCortexM.listSize);

// A list end's item value: portMAX_DELAY with 32-bit ticks.
inline constexpr uint32_t kListEndValue = 0xFFFFFFFF;

// The kernel's variables, in the order the server asks gdb for them.
enum class Symbol {
    CurrentTcb,          // pxCurrentTCB
    ReadyLists,          // pxReadyTasksLists[configMAX_PRIORITIES]
    DelayedList1,        // xDelayedTaskList1
    DelayedList2,        // xDelayedTaskList2
    PendingReadyList,    // xPendingReadyList
    SuspendedList,       // xSuspendedTaskList (INCLUDE_vTaskSuspend)
    TerminationList,     // xTasksWaitingTermination (INCLUDE_vTaskDelete)
    TopUsedPriority,     // uxTopUsedPriority: configMAX_PRIORITIES - 1
    SchedulerRunning,    // xSchedulerRunning
};
inline constexpr std::size_t kSymbolCount = 9;

struct SymbolSpec {
    Symbol symbol;
    std::string_view name;
    bool required;  // without it there is no task view
};
inline constexpr std::array<SymbolSpec, kSymbolCount> kSymbols{{
    {Symbol::CurrentTcb, "pxCurrentTCB", true},
    {Symbol::ReadyLists, "pxReadyTasksLists", true},
    {Symbol::DelayedList1, "xDelayedTaskList1", true},
    {Symbol::DelayedList2, "xDelayedTaskList2", true},
    {Symbol::PendingReadyList, "xPendingReadyList", true},
    {Symbol::SuspendedList, "xSuspendedTaskList", false},
    {Symbol::TerminationList, "xTasksWaitingTermination", false},
    {Symbol::TopUsedPriority, "uxTopUsedPriority", false},
    {Symbol::SchedulerRunning, "xSchedulerRunning", true},
}};

// Without uxTopUsedPriority the ready lists are taken while they look like
// initialised lists (their end's value portMAX_DELAY), at most this many.
inline constexpr uint32_t kMaxPrioritiesScanned = 32;
// Bounds against a corrupt list: priorities, and tasks in one list.
inline constexpr uint32_t kMaxPriorities = 256;
inline constexpr uint32_t kMaxTasksPerList = 1024;

enum class TaskState { Running, Ready, Blocked, Suspended, Deleted };
std::string_view StateName(TaskState state);

struct Task {
    uint32_t tcb = 0;  // the TCB's address: the task's thread id
    std::string name;
    uint32_t priority = 0;
    TaskState state = TaskState::Ready;
};

// The tasks at one stop, sorted by TCB address.
struct Snapshot {
    uint32_t current = 0;  // pxCurrentTCB
    std::vector<Task> tasks;
    const Task* Find(uint32_t tcb) const;
};

// Up to count bytes at address: fewer, or none, where memory cannot be read.
using ReadMemory = std::function<std::vector<uint8_t>(uint32_t address, uint32_t count)>;

// The registers the port's context switch left on a task's stack, by gdb's
// register number (r0..r12 0..12, sp 13, lr 14, pc 15, xpsr 25). At
// pxTopOfStack: r4..r11 pushed by the PendSV handler, then the exception
// frame the core pushed: r0..r3, r12, lr, pc, xPSR. The task's sp is past
// the frame, 4 bytes more when the core aligned the frame (xPSR bit 9).
// None when the frame cannot be read.
using StackedRegisters = std::vector<std::pair<uint32_t, uint32_t>>;
std::optional<StackedRegisters> ReadStackedRegisters(const ReadMemory& read, uint32_t tcb,
                                                     const Layout& layout = kCortexM);
inline constexpr uint32_t kStackedFrameBytes = 64;
inline constexpr uint32_t kFrameAlignedBit = 1u << 9;

// The kernel as the server sees it: the symbols gdb gave, and the tasks
// read with them.
class Kernel {
public:
    explicit Kernel(const Layout& layout = kCortexM) : layout_(layout) {}

    // gdb has (new) symbols: every address is forgotten and asked again.
    void Restart();
    // The next name to ask gdb for, marked as asked; none when the
    // conversation is over (everything asked, or pxCurrentTCB is not there
    // and the program is not FreeRTOS's).
    std::optional<std::string_view> NextRequest();
    // gdb's answer for a name: its address, or none.
    void Answer(std::string_view name, std::optional<uint32_t> address);
    // Every required symbol is known.
    bool Found() const;
    // pxCurrentTCB was given: a FreeRTOS program, maybe without a symbol
    // the view needs.
    bool Present() const { return Address(Symbol::CurrentTcb).has_value(); }
    // The required symbols gdb was asked for and did not know, for the log.
    std::string Missing() const;
    std::optional<uint32_t> Address(Symbol symbol) const { return addresses_[static_cast<std::size_t>(symbol)]; }

    // The running task when the scheduler runs; none before it does (one
    // thread then) or without the symbols.
    std::optional<uint32_t> CurrentTask(const ReadMemory& read) const;
    // Every task, or none when CurrentTask is none.
    std::optional<Snapshot> Tasks(const ReadMemory& read) const;

private:
    // The ready lists' addresses, one per priority.
    std::vector<uint32_t> ReadyLists(const ReadMemory& read) const;
    bool IsListEnd(const ReadMemory& read, uint32_t list) const;

    Layout layout_;
    std::array<std::optional<uint32_t>, kSymbolCount> addresses_{};
    std::array<bool, kSymbolCount> asked_{};
};

}  // namespace gdbserver::freertos
