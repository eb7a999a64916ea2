// FreeRTOS's tasks as the server reads them, from a memory image laid out
// as the kernel lays out its lists and TCBs: the symbol conversation, task
// states from the lists, the bounds against corrupt lists, and the registers
// a switched-out task left on its stack.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <regex>
#include <map>
#include <string>
#include <vector>

#include "tests/gdbserver/Processes.h"
#include "tools/gdbserver/FreeRtos.h"

namespace {

using namespace gdbserver::freertos;

// RAM at kBase with the kernel's variables at fixed places, lists and TCBs
// written field by field with the layout's offsets.
class KernelImage {
public:
    static constexpr uint32_t kBase = 0x20000000;
    static constexpr uint32_t kCurrent = kBase + 0x00, kRunning = kBase + 0x04, kTop = kBase + 0x08;
    static constexpr uint32_t kReady = kBase + 0x100;  // kPriorities lists
    static constexpr uint32_t kPriorities = 4;
    static constexpr uint32_t kDelayed1 = kBase + 0x200, kDelayed2 = kBase + 0x220, kPending = kBase + 0x240,
                              kSuspended = kBase + 0x260, kTermination = kBase + 0x280;

    KernelImage() : ram_(0x4000, 0) {
        Put(kTop, kPriorities - 1);
        for (uint32_t p = 0; p < kPriorities; ++p) InitList(kReady + p * kCortexM.listSize);
        for (uint32_t list : {kDelayed1, kDelayed2, kPending, kSuspended, kTermination}) InitList(list);
    }

    void Put(uint32_t address, uint32_t value) {
        for (int i = 0; i < 4; ++i) ram_.at(address - kBase + i) = static_cast<uint8_t>(value >> 8 * i);
    }
    uint32_t Get(uint32_t address) const {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= uint32_t(ram_.at(address - kBase + i)) << 8 * i;
        return value;
    }

    void InitList(uint32_t list) {
        const uint32_t end = list + kCortexM.listEnd;
        Put(list + kCortexM.listItemCount, 0);
        Put(list + 4, end);  // pxIndex
        Put(end + kCortexM.itemValue, kListEndValue);
        Put(end + kCortexM.itemNext, end);
        Put(end + 8, end);  // pxPrevious
    }
    // Appends an item at the end of a list, as vListInsertEnd does.
    void Insert(uint32_t list, uint32_t item, uint32_t owner) {
        const uint32_t end = list + kCortexM.listEnd;
        const uint32_t last = Get(end + 8);
        Put(item + kCortexM.itemNext, end);
        Put(item + 8, last);
        Put(last + kCortexM.itemNext, item);
        Put(end + 8, item);
        Put(item + kCortexM.itemOwner, owner);
        Put(item + kCortexM.itemContainer, list);
        Put(list + kCortexM.listItemCount, Get(list + kCortexM.listItemCount) + 1);
    }
    // A TCB at tcb whose state item is in stateList.
    void AddTask(uint32_t tcb, const std::string& name, uint32_t priority, uint32_t stateList) {
        Put(tcb + kCortexM.tcbPriority, priority);
        for (std::size_t i = 0; i < name.size(); ++i) ram_.at(tcb + kCortexM.tcbName - kBase + i) = uint8_t(name[i]);
        Insert(stateList, tcb + kCortexM.tcbStateItem, tcb);
    }
    void WaitOn(uint32_t tcb, uint32_t eventList) { Insert(eventList, tcb + kCortexM.tcbEventItem, tcb); }
    void Run(uint32_t tcb) {
        Put(kCurrent, tcb);
        Put(kRunning, 1);
    }

    ReadMemory Reader() const {
        return [this](uint32_t address, uint32_t count) {
            std::vector<uint8_t> bytes;
            for (uint32_t a = address; a - address < count && a >= kBase && a - kBase < ram_.size(); ++a)
                bytes.push_back(ram_[a - kBase]);
            return bytes;
        };
    }

    // Answers the server's requests as gdb does, from these addresses;
    // the names left out are unknown. The names asked, in order.
    std::vector<std::string> Tell(Kernel& kernel, const std::vector<std::string>& unknown = {}) const {
        const std::map<std::string, uint32_t> symbols = {
            {"pxCurrentTCB", kCurrent},        {"pxReadyTasksLists", kReady},   {"xDelayedTaskList1", kDelayed1},
            {"xDelayedTaskList2", kDelayed2},  {"xPendingReadyList", kPending}, {"xSuspendedTaskList", kSuspended},
            {"xTasksWaitingTermination", kTermination}, {"uxTopUsedPriority", kTop}, {"xSchedulerRunning", kRunning}};
        std::vector<std::string> asked;
        kernel.Restart();
        while (const auto name = kernel.NextRequest()) {
            asked.emplace_back(*name);
            if (asked.size() > 20) break;  // a conversation that never ends
            const bool known = std::find(unknown.begin(), unknown.end(), *name) == unknown.end();
            kernel.Answer(*name, known ? std::optional<uint32_t>(symbols.at(std::string(*name))) : std::nullopt);
        }
        return asked;
    }

private:
    std::vector<uint8_t> ram_;
};

TEST(FreeRtosSymbols, TheConversationAsksWhatTheViewNeeds) {
    const std::vector<std::string> all = {"pxCurrentTCB",       "pxReadyTasksLists",        "xDelayedTaskList1",
                                          "xDelayedTaskList2",  "xPendingReadyList",        "xSuspendedTaskList",
                                          "xTasksWaitingTermination", "uxTopUsedPriority", "xSchedulerRunning"};
    const struct {
        const char* what;
        std::vector<std::string> unknown;
        std::vector<std::string> asked;
        bool found;
        const char* missing;
    } cases[] = {
        {"a FreeRTOS program", {}, all, true, ""},
        {"a program without the kernel", {"pxCurrentTCB"}, {"pxCurrentTCB"}, false, "pxCurrentTCB"},
        {"no vTaskSuspend, no vTaskDelete, no uxTopUsedPriority",
         {"xSuspendedTaskList", "xTasksWaitingTermination", "uxTopUsedPriority"}, all, true, ""},
        {"a kernel list gdb does not know", {"xDelayedTaskList2", "xSchedulerRunning"}, all, false,
         "xDelayedTaskList2, xSchedulerRunning"},
    };
    KernelImage image;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel kernel;
        EXPECT_EQ(image.Tell(kernel, c.unknown), c.asked);
        EXPECT_EQ(kernel.Found(), c.found);
        EXPECT_EQ(kernel.Missing(), c.missing);
        // gdb's next qSymbol:: starts again from the first name.
        kernel.Restart();
        EXPECT_FALSE(kernel.Found());
        EXPECT_EQ(kernel.NextRequest().value_or(""), "pxCurrentTCB");
    }
}

// Tasks in every list the kernel keeps, at their TCB addresses.
struct TaskCase {
    uint32_t tcb;
    const char* name;
    uint32_t priority;
    TaskState state;
};

KernelImage Scheduled() {
    KernelImage image;
    using I = KernelImage;
    image.AddTask(0x20001000, "idle", 0, I::kReady + 0 * kCortexM.listSize);
    image.AddTask(0x20001100, "blinker", 3, I::kReady + 3 * kCortexM.listSize);  // running
    image.AddTask(0x20001200, "delay", 2, I::kDelayed2);
    image.AddTask(0x20001300, "queue forever", 2, I::kSuspended);
    image.InitList(I::kBase + 0x300);  // some queue's list of waiting tasks
    image.WaitOn(0x20001300, I::kBase + 0x300);
    image.AddTask(0x20001400, "sleeper", 1, I::kSuspended);
    image.AddTask(0x20001500, "gone", 1, I::kTermination);
    image.AddTask(0x20001600, "woken", 2, I::kDelayed1);
    image.WaitOn(0x20001600, I::kPending);  // readied while the scheduler was suspended
    image.AddTask(0x20001700, "peer", 3, I::kReady + 3 * kCortexM.listSize);
    image.Run(0x20001100);
    return image;
}

const std::vector<TaskCase> kScheduledTasks = {
    {0x20001000, "idle", 0, TaskState::Ready},        {0x20001100, "blinker", 3, TaskState::Running},
    {0x20001200, "delay", 2, TaskState::Blocked},     {0x20001300, "queue forever", 2, TaskState::Blocked},
    {0x20001400, "sleeper", 1, TaskState::Suspended}, {0x20001500, "gone", 1, TaskState::Deleted},
    {0x20001600, "woken", 2, TaskState::Ready},       {0x20001700, "peer", 3, TaskState::Ready},
};

void ExpectTasks(const std::optional<Snapshot>& snapshot, const std::vector<TaskCase>& expected) {
    ASSERT_TRUE(snapshot);
    ASSERT_EQ(snapshot->tasks.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        const Task& task = snapshot->tasks[i];
        EXPECT_EQ(task.tcb, expected[i].tcb);
        EXPECT_EQ(task.name, expected[i].name);
        EXPECT_EQ(task.priority, expected[i].priority);
        EXPECT_EQ(StateName(task.state), StateName(expected[i].state));
        EXPECT_EQ(snapshot->Find(expected[i].tcb), &task);
    }
}

TEST(FreeRtosTasks, EveryListsTasksWithTheirStates) {
    const KernelImage image = Scheduled();
    Kernel kernel;
    image.Tell(kernel);
    const auto snapshot = kernel.Tasks(image.Reader());
    ASSERT_TRUE(snapshot);
    ExpectTasks(snapshot, kScheduledTasks);
    EXPECT_EQ(snapshot->current, 0x20001100u);
    EXPECT_EQ(snapshot->Find(0x20001104), nullptr);
    EXPECT_EQ(kernel.CurrentTask(image.Reader()), 0x20001100u);
}

TEST(FreeRtosTasks, NoTaskViewBeforeTheSchedulerRunsOrWithoutTheSymbols) {
    const struct {
        const char* what;
        uint32_t running;
        uint32_t current;
        std::vector<std::string> unknown;
    } cases[] = {
        {"the scheduler has not started", 0, 0x20001100, {}},
        {"no task created yet", 1, 0, {}},
        {"a program without the kernel", 1, 0x20001100, {"pxCurrentTCB"}},
        {"a required list unknown", 1, 0x20001100, {"xPendingReadyList"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KernelImage image = Scheduled();
        image.Put(KernelImage::kRunning, c.running);
        image.Put(KernelImage::kCurrent, c.current);
        Kernel kernel;
        image.Tell(kernel, c.unknown);
        EXPECT_FALSE(kernel.CurrentTask(image.Reader()));
        EXPECT_FALSE(kernel.Tasks(image.Reader()));
    }
}

TEST(FreeRtosTasks, WithoutTopUsedPriorityTheReadyListsEndAtTheNextKernelList) {
    // The delayed list right behind the last ready list: were it read as a
    // ready list, its task would be Ready.
    KernelImage image = Scheduled();
    const uint32_t behind = KernelImage::kReady + KernelImage::kPriorities * kCortexM.listSize;
    image.InitList(behind);
    image.AddTask(0x20001800, "behind", 1, behind);
    Kernel kernel;
    const std::vector<std::string> unknown = {"uxTopUsedPriority"};
    image.Tell(kernel, unknown);
    kernel.Answer("xDelayedTaskList1", behind);
    std::vector<TaskCase> expected = kScheduledTasks;
    expected.push_back({0x20001800, "behind", 1, TaskState::Blocked});
    ExpectTasks(kernel.Tasks(image.Reader()), expected);
}

TEST(FreeRtosTasks, CorruptListsAreReadNoFurtherThanTheirBounds) {
    // The delayed task's item, the one in its list, claims 2^32-1 items and
    // leads somewhere other than back to the list's end.
    const uint32_t item = 0x20001200 + kCortexM.tcbStateItem;
    const struct {
        const char* what;
        uint32_t next;
    } cases[] = {
        {"an item that points back at itself", item},
        {"an item that points at unreadable memory", 0x30000000},
        {"an item that points at a word of zeros", KernelImage::kBase + 0x3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KernelImage image = Scheduled();
        image.Put(KernelImage::kDelayed2 + kCortexM.listItemCount, 0xFFFFFFFF);
        image.Put(item + kCortexM.itemNext, c.next);
        Kernel kernel;
        image.Tell(kernel);
        ExpectTasks(kernel.Tasks(image.Reader()), kScheduledTasks);
    }
}

TEST(FreeRtosTasks, NamesEndAtTheirNulOrTheNameLength) {
    KernelImage image = Scheduled();
    const std::string full(kCortexM.nameLength, 'n');
    image.AddTask(0x20001900, full + "XYZ", 1, KernelImage::kReady + kCortexM.listSize);
    Kernel kernel;
    image.Tell(kernel);
    const auto snapshot = kernel.Tasks(image.Reader());
    ASSERT_TRUE(snapshot);
    ASSERT_TRUE(snapshot->Find(0x20001900));
    EXPECT_EQ(snapshot->Find(0x20001900)->name, full);
}

TEST(FreeRtosStack, TheSwitchedOutTasksRegistersAndItsStackPointer) {
    const struct {
        const char* what;
        uint32_t xpsr;
        uint32_t spPastTop;  // sp - pxTopOfStack
    } cases[] = {
        {"a frame the core did not align", 0x61000000, 64},
        {"a frame the core aligned (xPSR bit 9)", 0x61000200, 68},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KernelImage image;
        const uint32_t tcb = 0x20001000, top = 0x20002000;
        image.Put(tcb + kCortexM.tcbTopOfStack, top);
        for (uint32_t i = 0; i < 15; ++i) image.Put(top + 4 * i, 0xA0 + i);  // r4..r11, r0..r3, r12, lr, pc
        image.Put(top + 60, c.xpsr);
        const auto registers = ReadStackedRegisters(image.Reader(), tcb);
        ASSERT_TRUE(registers);
        std::map<uint32_t, uint32_t> byNumber(registers->begin(), registers->end());
        const std::map<uint32_t, uint32_t> expected = {
            {4, 0xA0},  {5, 0xA1},  {6, 0xA2},  {7, 0xA3},  {8, 0xA4},  {9, 0xA5},  {10, 0xA6},
            {11, 0xA7}, {0, 0xA8},  {1, 0xA9},  {2, 0xAA},  {3, 0xAB},  {12, 0xAC}, {14, 0xAD},
            {15, 0xAE}, {25, c.xpsr}, {13, top + c.spPastTop}};
        EXPECT_EQ(byNumber, expected);
    }
    KernelImage image;
    image.Put(0x20001000, 0x20003FF0);  // a frame that runs off the memory
    EXPECT_FALSE(ReadStackedRegisters(image.Reader(), 0x20001000));
}

#ifdef DIORX_FREERTOS_ELF
// The table's offsets are those of the FreeRTOS application as its debug
// information describes it (gdb reads the DWARF).
TEST(FreeRtosLayout, MatchesTheApplicationsDebugInformation) {
    if (std::string(GDB_MULTIARCH).empty()) GTEST_SKIP() << "gdb-multiarch is not installed";
    const struct {
        const char* field;
        const char* expression;  // in the application's C
        uint32_t offset;         // the table's
    } cases[] = {
        {"ListItem_t.xItemValue", "&((ListItem_t *)0)->xItemValue", kCortexM.itemValue},
        {"ListItem_t.pxNext", "&((ListItem_t *)0)->pxNext", kCortexM.itemNext},
        {"ListItem_t.pvOwner", "&((ListItem_t *)0)->pvOwner", kCortexM.itemOwner},
        // pxContainer, or pvContainer under the kernel's backward-compatible
        // names: gdb fails on the one that is not there.
        {"ListItem_t container", "&((ListItem_t *)0)->pxContainer", kCortexM.itemContainer},
        {"ListItem_t container", "&((ListItem_t *)0)->pvContainer", kCortexM.itemContainer},
        {"MiniListItem_t.xItemValue", "&((MiniListItem_t *)0)->xItemValue", kCortexM.itemValue},
        {"MiniListItem_t.pxNext", "&((MiniListItem_t *)0)->pxNext", kCortexM.itemNext},
        {"List_t.uxNumberOfItems", "&((List_t *)0)->uxNumberOfItems", kCortexM.listItemCount},
        {"List_t.xListEnd", "&((List_t *)0)->xListEnd", kCortexM.listEnd},
        {"sizeof(List_t)", "sizeof(List_t)", kCortexM.listSize},
        {"pxReadyTasksLists[1]", "(char *)&pxReadyTasksLists[1] - (char *)&pxReadyTasksLists[0]", kCortexM.listSize},
        {"TCB_t.pxTopOfStack", "&((TCB_t *)0)->pxTopOfStack", kCortexM.tcbTopOfStack},
        {"TCB_t.xStateListItem", "&((TCB_t *)0)->xStateListItem", kCortexM.tcbStateItem},
        {"TCB_t.xEventListItem", "&((TCB_t *)0)->xEventListItem", kCortexM.tcbEventItem},
        {"TCB_t.uxPriority", "&((TCB_t *)0)->uxPriority", kCortexM.tcbPriority},
        {"TCB_t.pcTaskName", "&((TCB_t *)0)->pcTaskName", kCortexM.tcbName},
        {"sizeof(TickType_t)", "sizeof(TickType_t) * 8", 32},  // list ends hold 0xFFFFFFFF
    };
    std::vector<std::string> argv = {GDB_MULTIARCH, "-batch", "-nx", DIORX_FREERTOS_ELF};
    for (const auto& c : cases) {
        argv.push_back("-ex");
        argv.push_back(std::string("printf \"") + c.field + " %u\\n\", (unsigned)(" + c.expression + ")");
    }
    // A name is read up to its NUL, which the kernel keeps within
    // configMAX_TASK_NAME_LEN: the table reads at most that many bytes.
    argv.insert(argv.end(), {"-ex", "printf \"name %u\\n\", (unsigned)sizeof(((TCB_t *)0)->pcTaskName)"});
    const gdbtest::ProcessResult gdb = gdbtest::RunProcess(argv, 60);
    ASSERT_EQ(gdb.exitStatus, 0) << gdb.output;
    for (const auto& c : cases)
        EXPECT_NE(gdb.output.find(std::string(c.field) + " " + std::to_string(c.offset) + "\n"), std::string::npos)
            << c.field << " is not at " << c.offset << ":\n" << gdb.output;
    std::smatch name;
    ASSERT_TRUE(std::regex_search(gdb.output, name, std::regex("name (\\d+)\n"))) << gdb.output;
    EXPECT_LE(std::stoul(name[1]), kCortexM.nameLength);
}
#endif

}  // namespace
