#include "tools/gdbserver/FreeRtos.h"

#include <algorithm>
#include <map>

namespace gdbserver::freertos {

namespace {

// The port is little-endian.
std::optional<uint32_t> Word(const ReadMemory& read, uint32_t address) {
    const std::vector<uint8_t> bytes = read(address, 4);
    if (bytes.size() != 4) return std::nullopt;
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// The order of the words the context switch leaves at pxTopOfStack, by
// gdb's register number.
constexpr uint32_t kFrameRegisters[] = {4, 5, 6, 7, 8, 9, 10, 11,  // the PendSV handler's
                                        0, 1, 2, 3, 12, 14, 15, 25};  // the core's exception frame
static_assert(sizeof kFrameRegisters / sizeof kFrameRegisters[0] * 4 == kStackedFrameBytes);
constexpr std::size_t kStackedXpsr = 15;
constexpr uint32_t kGdbSp = 13;

}  // namespace

std::string_view StateName(TaskState state) {
    switch (state) {
        case TaskState::Running: return "Running";
        case TaskState::Ready: return "Ready";
        case TaskState::Blocked: return "Blocked";
        case TaskState::Suspended: return "Suspended";
        case TaskState::Deleted: return "Deleted";
    }
    return "?";
}

const Task* Snapshot::Find(uint32_t tcb) const {
    const auto it = std::lower_bound(tasks.begin(), tasks.end(), tcb, [](const Task& t, uint32_t v) { return t.tcb < v; });
    return it != tasks.end() && it->tcb == tcb ? &*it : nullptr;
}

std::optional<StackedRegisters> ReadStackedRegisters(const ReadMemory& read, uint32_t tcb, const Layout& layout) {
    const auto top = Word(read, tcb + layout.tcbTopOfStack);
    if (!top) return std::nullopt;
    const std::vector<uint8_t> frame = read(*top, kStackedFrameBytes);
    if (frame.size() != kStackedFrameBytes) return std::nullopt;
    StackedRegisters registers;
    uint32_t xpsr = 0;
    for (std::size_t i = 0; i < std::size(kFrameRegisters); ++i) {
        const uint8_t* b = frame.data() + 4 * i;
        const uint32_t value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        registers.emplace_back(kFrameRegisters[i], value);
        if (i == kStackedXpsr) xpsr = value;
    }
    registers.emplace_back(kGdbSp, *top + kStackedFrameBytes + (xpsr & kFrameAlignedBit ? 4 : 0));
    std::sort(registers.begin(), registers.end());
    return registers;
}

// ---- Symbols -----------------------------------------------------------------

void Kernel::Restart() {
    addresses_.fill(std::nullopt);
    asked_.fill(false);
}

std::optional<std::string_view> Kernel::NextRequest() {
    // Without pxCurrentTCB the program is not FreeRTOS's: nothing more to ask.
    if (asked_[0] && !Present()) return std::nullopt;
    for (std::size_t i = 0; i < kSymbolCount; ++i) {
        if (asked_[i]) continue;
        asked_[i] = true;
        return kSymbols[i].name;
    }
    return std::nullopt;
}

void Kernel::Answer(std::string_view name, std::optional<uint32_t> address) {
    for (std::size_t i = 0; i < kSymbolCount; ++i) {
        if (kSymbols[i].name != name) continue;
        asked_[i] = true;
        addresses_[i] = address;
    }
}

bool Kernel::Found() const {
    for (std::size_t i = 0; i < kSymbolCount; ++i)
        if (kSymbols[i].required && !addresses_[i]) return false;
    return true;
}

std::string Kernel::Missing() const {
    std::string names;
    for (std::size_t i = 0; i < kSymbolCount; ++i)
        if (kSymbols[i].required && asked_[i] && !addresses_[i]) names += (names.empty() ? "" : ", ") + std::string(kSymbols[i].name);
    return names;
}

// ---- Tasks --------------------------------------------------------------------

std::optional<uint32_t> Kernel::CurrentTask(const ReadMemory& read) const {
    if (!Found()) return std::nullopt;
    const auto running = Word(read, *Address(Symbol::SchedulerRunning));
    if (!running || *running == 0) return std::nullopt;
    const auto current = Word(read, *Address(Symbol::CurrentTcb));
    if (!current || *current == 0) return std::nullopt;
    return current;
}

bool Kernel::IsListEnd(const ReadMemory& read, uint32_t list) const {
    const auto value = Word(read, list + layout_.listEnd + layout_.itemValue);
    return value && *value == kListEndValue;
}

std::vector<uint32_t> Kernel::ReadyLists(const ReadMemory& read) const {
    const uint32_t base = *Address(Symbol::ReadyLists);
    uint32_t count = 0;
    if (const auto top = Address(Symbol::TopUsedPriority)) {
        if (const auto value = Word(read, *top)) count = std::min(*value + 1, kMaxPriorities);
    }
    std::vector<uint32_t> lists;
    if (count == 0) {
        // Lists that follow one another as long as they look initialised,
        // but never one of the kernel's other lists placed right behind.
        for (uint32_t i = 0; i < kMaxPrioritiesScanned; ++i) {
            const uint32_t list = base + i * layout_.listSize;
            bool other = false;
            for (std::size_t k = 0; k < kSymbolCount; ++k)
                other = other || (kSymbols[k].symbol != Symbol::ReadyLists && addresses_[k] == list);
            if (other || !IsListEnd(read, list)) break;
            lists.push_back(list);
        }
        return lists;
    }
    for (uint32_t i = 0; i < count; ++i) lists.push_back(base + i * layout_.listSize);
    return lists;
}

std::optional<Snapshot> Kernel::Tasks(const ReadMemory& read) const {
    const auto current = CurrentTask(read);
    if (!current) return std::nullopt;

    // Which lists there are, and the state a task in each one has.
    std::map<uint32_t, TaskState> lists;
    for (uint32_t list : ReadyLists(read)) lists.emplace(list, TaskState::Ready);
    lists.emplace(*Address(Symbol::DelayedList1), TaskState::Blocked);
    lists.emplace(*Address(Symbol::DelayedList2), TaskState::Blocked);
    lists.emplace(*Address(Symbol::PendingReadyList), TaskState::Ready);
    if (const auto list = Address(Symbol::SuspendedList)) lists.emplace(*list, TaskState::Suspended);
    if (const auto list = Address(Symbol::TerminationList)) lists.emplace(*list, TaskState::Deleted);

    // Every owner of an item in those lists, with the state of the list it
    // was found in. A list that does not come back to its end within its
    // count of items is read no further.
    std::map<uint32_t, TaskState> found;
    for (const auto& [list, state] : lists) {
        const auto count = Word(read, list + layout_.listItemCount);
        if (!count) continue;
        const uint32_t end = list + layout_.listEnd;
        auto item = Word(read, end + layout_.itemNext);
        for (uint32_t n = 0; item && *item != end && *item != 0 && n < std::min(*count, kMaxTasksPerList); ++n) {
            const auto owner = Word(read, *item + layout_.itemOwner);
            if (!owner || *owner == 0) break;
            found.emplace(*owner, state);
            item = Word(read, *item + layout_.itemNext);
        }
    }
    // The running task is in a ready list; should it not be read there, it
    // is a task all the same.
    found.emplace(*current, TaskState::Running);

    Snapshot snapshot;
    snapshot.current = *current;
    for (const auto& [tcb, foundIn] : found) {
        Task task;
        task.tcb = tcb;
        task.priority = Word(read, tcb + layout_.tcbPriority).value_or(0);
        const std::vector<uint8_t> name = read(tcb + layout_.tcbName, layout_.nameLength);
        task.name.assign(name.begin(), std::find(name.begin(), name.end(), uint8_t{0}));
        // The state list a task's state item is in is its state; a task
        // whose event item waits in the pending-ready list is ready; one in
        // the suspended list that waits for an event waits with no timeout:
        // blocked.
        const auto stateList = Word(read, tcb + layout_.tcbStateItem + layout_.itemContainer);
        const auto eventList = Word(read, tcb + layout_.tcbEventItem + layout_.itemContainer);
        const auto known = stateList ? lists.find(*stateList) : lists.end();
        task.state = known != lists.end() ? known->second : foundIn;
        if (eventList && *eventList == *Address(Symbol::PendingReadyList)) task.state = TaskState::Ready;
        if (task.state == TaskState::Suspended && eventList && *eventList != 0) task.state = TaskState::Blocked;
        if (tcb == *current) task.state = TaskState::Running;
        snapshot.tasks.push_back(std::move(task));
    }
    return snapshot;
}

}  // namespace gdbserver::freertos
