// The server's threads: FreeRTOS's tasks as gdb sees them, a part of Server
// kept apart from the other packet handlers (see FreeRtos.h for what is read).
//
//   qSymbol::                 gdb has symbols (after connecting, after a new
//                             symbol file): the server asks for the kernel's
//                             variables one by one (qSymbol:HEXNAME), gdb
//                             answers each (qSymbol:ADDR:HEXNAME, or
//                             qSymbol::HEXNAME for one it does not know);
//                             OK ends the conversation. A program without
//                             pxCurrentTCB is asked nothing more.
//   qfThreadInfo, qsThreadInfo  every task by its TCB's address, or 1
//   qC, stop replies          the running task (pxCurrentTCB)
//   qThreadExtraInfo          "Name: N, State: S, Priority: P"
//   T                         whether a task is listed
//   Hg                        the thread g, p, G and P are about; a stop
//                             makes it the running one again. A task that
//                             does not run shows the registers on its stack
//                             and refuses writes (E0d).
//   Hc, vCont with a thread   all-stop: the whole core runs
//
// The tasks are read once per stop, through the server's memory cache.
#include <charconv>
#include <cstdio>

#include "tools/gdbserver/GdbServer.h"

namespace gdbserver {

namespace {

constexpr uint32_t kCoreThread = 1;  // the one thread without a task view
const std::string kNoSuchThread = "E01";
const std::string kMalformed = "E01";

std::string ThreadIdText(uint32_t id) {
    char text[12];
    std::snprintf(text, sizeof text, "%x", id);
    return text;
}

// A thread id as H names it: -1 (all), 0 (any) or a hex number.
std::optional<int64_t> ParseThreadId(std::string_view text) {
    if (text == "-1") return -1;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 0xFFFFFFFF)
        return std::nullopt;
    return static_cast<int64_t>(value);
}

}  // namespace

const freertos::Snapshot* Server::Tasks() {
    if (!options_.rtos) return nullptr;
    if (!tasksRead_) {
        tasksRead_ = true;
        tasks_ = rtos_.Tasks([this](uint32_t address, uint32_t count) { return ReadMemoryCached(address, count); });
    }
    return tasks_ ? &*tasks_ : nullptr;
}

uint32_t Server::CurrentThreadId() {
    if (!options_.rtos) return kCoreThread;
    // Two words are enough here: a stop reply after each of gdb's steps
    // reads no list.
    if (tasksRead_) return tasks_ ? tasks_->current : kCoreThread;
    return rtos_.CurrentTask([this](uint32_t address, uint32_t count) { return ReadMemoryCached(address, count); })
        .value_or(kCoreThread);
}

std::string Server::StopFields() {
    generalThread_.reset();
    threadRegisters_.reset();
    return "thread:" + ThreadIdText(CurrentThreadId()) + ";" + ExpeditedRegisters();
}

bool Server::OtherTaskSelected() {
    if (!generalThread_) return false;
    const freertos::Snapshot* tasks = Tasks();
    return tasks && *generalThread_ != tasks->current && tasks->Find(*generalThread_);
}

const std::vector<uint32_t>* Server::ThreadRegisters() {
    if (!OtherTaskSelected()) return Registers();
    if (!threadRegisters_) {
        const auto stacked = freertos::ReadStackedRegisters(
            [this](uint32_t address, uint32_t count) { return ReadMemoryCached(address, count); }, *generalThread_);
        if (!stacked) return nullptr;
        std::vector<uint32_t> values;
        for (const RegisterSlot& slot : target_.Slots()) {
            uint32_t value = 0;  // a register the switch does not save (none on the M profile)
            for (const auto& [number, saved] : *stacked)
                if (number == slot.gdbNumber) value = saved;
            values.push_back(value);
        }
        threadRegisters_ = std::move(values);
    }
    return &*threadRegisters_;
}

// ---- Packets ---------------------------------------------------------------------

Server::Reply Server::CurrentThread(const Arguments&) { return "QC" + ThreadIdText(CurrentThreadId()); }

Server::Reply Server::FirstThreadInfo(const Arguments&) {
    const freertos::Snapshot* tasks = Tasks();
    if (!tasks) return "m" + ThreadIdText(kCoreThread);
    std::string reply = "m";
    for (const freertos::Task& task : tasks->tasks) {
        if (reply.size() + 9 > kPacketSize - 4) break;  // a packet's worth
        reply += (reply.size() > 1 ? "," : "") + ThreadIdText(task.tcb);
    }
    return reply;
}

Server::Reply Server::NextThreadInfo(const Arguments&) { return "l"; }

Server::Reply Server::ThreadAlive(const Arguments& args) {
    const freertos::Snapshot* tasks = Tasks();
    const bool alive = tasks ? tasks->Find(static_cast<uint32_t>(args.numbers[0])) != nullptr : args.numbers[0] == kCoreThread;
    return alive && args.numbers[0] <= 0xFFFFFFFF ? "OK" : kNoSuchThread;
}

Server::Reply Server::SetThread(const Arguments& args) {
    const std::string& text = args.texts[0];
    if (text.empty() || (text[0] != 'g' && text[0] != 'c')) return kMalformed;
    const auto id = ParseThreadId(std::string_view(text).substr(1));
    if (!id) return kMalformed;
    if (text[0] == 'c') return "OK";  // all-stop: a resume runs the whole core
    threadRegisters_.reset();
    if (*id <= 0) {
        generalThread_.reset();
        return "OK";
    }
    const freertos::Snapshot* tasks = Tasks();
    const auto thread = static_cast<uint32_t>(*id);
    if (tasks ? !tasks->Find(thread) : thread != kCoreThread) return kNoSuchThread;
    generalThread_ = thread;
    return "OK";
}

Server::Reply Server::ThreadExtraInfo(const Arguments& args) {
    const freertos::Snapshot* tasks = Tasks();
    const freertos::Task* task = tasks ? tasks->Find(static_cast<uint32_t>(args.numbers[0])) : nullptr;
    if (!task) {
        // gdb takes an empty reply as "not supported" and never asks again:
        // before the scheduler runs, the one thread says so. A gdb that
        // connected while it ran keeps thread 1 from its first stop until
        // the next one: that is the core, in the running task.
        if (!options_.rtos || !rtos_.Found() || args.numbers[0] != kCoreThread) return std::string();
        if (!tasks) return rsp::ToHex("Scheduler not running");
        const freertos::Task* running = tasks->Find(tasks->current);
        return rsp::ToHex("Core, in the running task " + (running ? running->name : std::string("?")));
    }
    return rsp::ToHex("Name: " + task->name + ", State: " + std::string(freertos::StateName(task->state)) +
                      ", Priority: " + std::to_string(task->priority));
}

Server::Reply Server::Symbol(const Arguments& args) {
    const std::string& value = args.texts[0];
    const std::string& hexName = args.texts[1];
    if (!options_.rtos) return "OK";  // nothing to look up
    if (hexName.empty()) {
        // qSymbol:: gdb has symbols: a new conversation.
        rtos_.Restart();
        ForgetTasks();
    } else {
        const auto name = rsp::FromHex(hexName);
        if (!name) return kMalformed;
        std::optional<uint32_t> address;
        if (!value.empty()) {
            const auto parsed = ParseThreadId(value);  // a hex number of 32 bits
            if (!parsed || *parsed < 0) return kMalformed;
            address = static_cast<uint32_t>(*parsed);
        }
        rtos_.Answer(std::string_view(reinterpret_cast<const char*>(name->data()), name->size()), address);
        ForgetTasks();
    }
    if (const auto next = rtos_.NextRequest()) return "qSymbol:" + rsp::ToHex(*next);
    if (rtos_.Found())
        log_ << "rtos: FreeRTOS found: its tasks are gdb's threads while the scheduler runs" << std::endl;
    else if (rtos_.Present())
        log_ << "rtos: FreeRTOS without " << rtos_.Missing() << " in gdb's symbols: one thread" << std::endl;
    return "OK";
}

}  // namespace gdbserver
