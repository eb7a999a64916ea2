// The GDB server: the packet table, the handlers and the run state machine.
//
// Run and interrupt, one client at a time, all on the serving thread. Every
// byte read from the socket goes through the decoder at once: an interrupt
// (0x03) goes to the run controller, acknowledgements are dropped, packets
// queue in pending_ (at most maxQueued while the core runs; more are dropped
// and counted). So an interrupt never waits behind other input, and one that
// came in the same segment as the resume packet is seen by the run. The runs
// themselves, and every way to end one, are the RunController's.
//
//   state      event                                action                                     next
//   ---------  -----------------------------------  -----------------------------------------  ---------
//   no client  accept                               a core left running is halted (DiExecStop)  Halted
//   Halted     packet                               handler, reply                              Halted
//   Halted     0x03                                 kept pending (one)                          Halted
//   Halted     c s C S vCont, interrupt pending     reply T02 without running                   Halted
//   Halted     c s C S vCont                        the run controller runs the core; each      Running
//                                                   poll reads the socket (OnPoll)
//   Running    0x03                                 the run is cancelled and the core halted;   Halted
//                                                   reply T02
//   Running    the core stopped                     T05 at a breakpoint or after a step;        Halted
//                                                   T0b where it cannot go on (T05 on a bkpt);
//                                                   an interrupt that came meanwhile was meant
//                                                   for this run and is dropped
//   Running    the step did not execute             a fault stop: T0b (for a step on a bkpt     Halted
//                                                   too: gdb would step a T05 again for ever)
//   Running    the engine died or hung              X09 (gdb: the program was killed), the      no client,
//                                                   reason logged                               no server
//   Running    client gone, SIGINT/SIGTERM          the run cancelled, the core halted,         no client
//                                                   breakpoints cleared
//   Halted     D                                    breakpoints cleared, OK; the core runs on    no client
//                                                   (a continue the first poll gives up)         (extended:
//                                                                                                Detached)
//   Detached   vAttach;1                            core halted, T05                            Halted
//   Halted     ! R vRun                             extended mode; R and vRun restart (reset,   Halted
//                                                   image again), vRun answers T05, R nothing
//   any        a send the client does not take      the client is dropped                       no client
//              within sendTimeoutMs
//   any        SIGINT/SIGTERM                       within one poll period (at most 500 ms) or   (server
//                                                   100 ms of waiting for input, output or a     returns)
//                                                   client; the caller closes the GDI instance
#include "tools/gdbserver/GdbServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tools/orxdbg/Session.h"

namespace gdbserver {

namespace {

constexpr uint64_t kFlashBlock = 0x400;
constexpr int kIdlePollMs = 100;
constexpr uint64_t kMemoryBlock = 1024;  // what the server reads at once for gdb's small reads
constexpr std::size_t kReadBuffer = 16 * 1024;
constexpr std::size_t kMaxReadPerPoll = 1024 * 1024;  // what one poll of a run reads at most

// The memory gdb is told about (qXfer:memory-map) and the only addresses a
// breakpoint may be set at: the board's regions.
bool Mapped(const sim::Board& board, uint64_t address, uint64_t size) {
    for (const sim::BoardRegion& region : board.regions)
        if (address >= region.base && address - region.base + size <= region.size) return true;
    return false;
}

// Where an M-profile core takes its initial SP and reset handler from (VTOR's
// reset value on every board the server serves).
constexpr uint64_t kVectorTable = 0x00000000;

// Error replies: a packet that does not fit its shape (or a state that does
// not allow it), and a target access that failed (gdb prints "Cannot access
// memory" for it).
const std::string kMalformed = "E01";

std::string Hex8(uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

// A word as the target holds it in memory, and so as gdb's register packets
// carry it: four bytes in the target's byte order.
int ByteShift(int i, bool bigEndian) { return bigEndian ? 24 - 8 * i : 8 * i; }

uint32_t TargetWord(const uint8_t* bytes, bool bigEndian) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(bytes[i]) << ByteShift(i, bigEndian);
    return value;
}

std::string TargetWordHex(uint32_t value, bool bigEndian) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> ByteShift(i, bigEndian));
    return rsp::ToHex(bytes, 4);
}

// The position of gdb's register number in the target's slots, or -1.
int SlotForNumber(const Target& target, uint64_t gdbNumber) {
    const std::vector<RegisterSlot>& slots = target.Slots();
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (slots[i].gdbNumber == gdbNumber) return static_cast<int>(i);
    return -1;
}

// Adds [start, end) to a set of disjoint ranges, merging what touches.
void AddRange(std::map<uint64_t, uint64_t>& ranges, uint64_t start, uint64_t end) {
    if (start >= end) return;
    auto it = ranges.upper_bound(start);
    if (it != ranges.begin() && std::prev(it)->second >= start) --it;
    while (it != ranges.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    ranges.emplace(start, end);
}

// ---- The packets ----------------------------------------------------------------

struct PacketSpec {
    std::string_view name;
    std::string_view shape;  // see ParseArguments
    Server::Reply (Server::*handler)(const Arguments&);
};

// A name may appear more than once: the first shape that fits is taken. A
// known name with no fitting shape gets an error reply, an unknown name the
// empty reply.
constexpr PacketSpec kPackets[] = {
    {"?", "", &Server::HaltReason},
    {"g", "", &Server::ReadRegisters},
    {"G", "h", &Server::WriteRegisters},
    {"p", "x", &Server::ReadRegister},
    {"P", "x=h", &Server::WriteRegister},
    {"m", "x,x", &Server::ReadMemory},
    {"M", "x,x:h", &Server::WriteMemory},
    {"X", "x,x:b", &Server::WriteMemory},
    {"Z", "x,x,x", &Server::InsertBreakpoint},
    {"z", "x,x,x", &Server::RemoveBreakpoint},
    {"c", "", &Server::Continue},
    {"c", "x", &Server::Continue},
    {"s", "", &Server::Step},
    {"s", "x", &Server::Step},
    {"C", "x", &Server::ContinueWithSignal},
    {"C", "x;x", &Server::ContinueWithSignal},
    {"S", "x", &Server::StepWithSignal},
    {"S", "x;x", &Server::StepWithSignal},
    {"vCont?", "", &Server::ContinueActionsSupported},
    {"vCont", ";a", &Server::ContinueActions},
    {"D", "", &Server::Detach},
    {"D", ";x", &Server::Detach},
    {"k", "", &Server::Kill},
    {"vKill", ";x", &Server::KillProcess},
    {"!", "", &Server::ExtendedMode},
    {"R", "x", &Server::Restart},
    {"vRun", ";r", &Server::Run},
    {"vAttach", ";x", &Server::Attach},
    {"H", "r", &Server::SetThread},
    {"T", "x", &Server::ThreadAlive},
    {"qSupported", "", &Server::Supported},
    {"qSupported", ":r", &Server::Supported},
    {"QStartNoAckMode", "", &Server::StartNoAckMode},
    {"qXfer", ":s:s:s:x,x", &Server::TransferRead},
    {"qAttached", "", &Server::Attached},
    {"qAttached", ":x", &Server::Attached},
    {"qC", "", &Server::CurrentThread},
    {"qfThreadInfo", "", &Server::FirstThreadInfo},
    {"qsThreadInfo", "", &Server::NextThreadInfo},
    {"qThreadExtraInfo", ",x", &Server::ThreadExtraInfo},
    {"qSymbol", ":s:s", &Server::Symbol},
    {"qRcmd", ",h", &Server::Monitor},
    {"vFlashErase", ":x,x", &Server::FlashErase},
    {"vFlashWrite", ":x:b", &Server::FlashWrite},
    {"vFlashDone", "", &Server::FlashDone},
};

// Monitor commands by their words, separated by single spaces (the text gdb
// sends is read that way: "reset  halt" is "reset halt"). The names an
// OpenOCD user types work the same here.
struct MonitorCommand {
    std::string_view name;
    std::string_view help;
    Server::MonitorResult (Server::*handler)();
};

constexpr MonitorCommand kMonitorCommands[] = {
    {"reset", "reset the core and leave it halted {START}", &Server::MonitorReset},
    {"reset halt", "the same", &Server::MonitorReset},
    {"reset init", "the same", &Server::MonitorReset},
    {"reset run", "reset the core and let it run", &Server::MonitorResetRun},
    {"halt", "halt the core", &Server::MonitorHalt},
    {"resume", "let the core run from where it is", &Server::MonitorResume},
    {"status", "why the core last stopped, and its pc", &Server::MonitorStatus},
    {"help", "this list", &Server::MonitorHelp},
};

// Objects that qXfer:OBJECT:read:ANNEX reads.
struct TransferObject {
    std::string_view object;
    std::string_view annex;
    std::string (*content)(const sim::Board& board);
};

constexpr TransferObject kTransferObjects[] = {
    {"features", "target.xml", &TargetDescription},
    {"memory-map", "", &MemoryMap},
};

std::string CauseText(uint32_t cause) {
    switch (cause) {
        case 0: return "running";
        case 1: return "single step";
        case 4: return "breakpoint";
        case 128: return "halted";
        case 512: return "stopped";
        case 1024: return "unknown state";
        default: return "cause " + std::to_string(cause);
    }
}

// A monitor command's words with single spaces, without a line break.
std::string MonitorWords(const std::vector<uint8_t>& bytes) {
    std::string words;
    bool space = false;
    for (uint8_t byte : bytes) {
        if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r') {
            space = !words.empty();
            continue;
        }
        if (space) words += ' ';
        space = false;
        words += static_cast<char>(byte);
    }
    return words;
}

}  // namespace

std::string TargetDescription(const sim::Board& board) {
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n<target version=\"1.0\">\n"
                      "<architecture>" + std::string(board.arch.gdbArchitecture) + "</architecture>\n<feature name=\"" +
                      board.arch.gdbFeature + "\">\n";
    for (const sim::BoardRegister& slot : board.arch.registers) {
        const std::string_view name = slot.gdbName;
        const char* type = name == "sp" ? " type=\"data_ptr\"" : name == "pc" ? " type=\"code_ptr\"" : "";
        xml += "<reg name=\"" + std::string(name) + "\" bitsize=\"32\" regnum=\"" + std::to_string(slot.gdbNumber) +
               "\"" + type + "/>\n";
    }
    xml += "</feature>\n</target>\n";
    return xml;
}

// The board's regions (flash is written through vFlashWrite, in blocks) and
// its peripherals.
std::string MemoryMap(const sim::Board& board) {
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\" "
                      "\"http://sourceware.org/gdb/gdb-memory-map.dtd\">\n<memory-map>\n";
    for (const sim::BoardRegion& region : board.regions) {
        if (region.flash)
            xml += "<memory type=\"flash\" start=\"" + Hex8(region.base) + "\" length=\"" + Hex8(region.size) +
                   "\">\n<property name=\"blocksize\">" + Hex8(kFlashBlock) + "</property>\n</memory>\n";
        else
            xml += "<memory type=\"ram\" start=\"" + Hex8(region.base) + "\" length=\"" + Hex8(region.size) + "\"/>\n";
    }
    // Device registers are read and written as memory: gdb refuses any
    // address outside the map.
    for (const sim::BoardRegion& region : board.peripherals)
        xml += "<memory type=\"ram\" start=\"" + Hex8(region.base) + "\" length=\"" + Hex8(region.size) + "\"/>\n";
    return xml + "</memory-map>\n";
}

// ---- Sockets and the client loop ------------------------------------------------------

Server::Server(Target& target, std::ostream& log, ServerOptions options)
    : target_(target), log_(log), options_(std::move(options)), run_(target) {
    // The kernel's layout and stack frames are the Cortex-M port's.
    if (target_.Board().arch.instructionSet != sim::InstructionSet::Thumb) options_.rtos = false;
    run_.options().onPoll = [this] { OnPoll(); };
    run_.options().targetFailure = options_.targetFailure;
}

Server::~Server() {
    if (clientFd_ >= 0) close(clientFd_);
    if (listenFd_ >= 0) close(listenFd_);
}

bool Server::Listen(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
        error = "'" + address + "' is not an IPv4 address";
        return false;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 ||
        listen(listenFd_, 1) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof socketAddress;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&socketAddress), &length);
    port_ = ntohs(socketAddress.sin_port);
    return true;
}

void Server::Serve(const std::atomic<bool>& shutdown) {
    shutdown_ = &shutdown;
    while (!shutdown && targetLost_.empty()) {
        pollfd listening{listenFd_, POLLIN, 0};
        if (poll(&listening, 1, kIdlePollMs) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        ServeClient(fd, shutdown);
    }
}

void Server::ServeClient(int fd, const std::atomic<bool>& shutdown) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    clientFd_ = fd;
    clientGone_ = false;
    ackMode_ = true;
    extended_ = false;
    attached_ = true;
    lastFrame_.clear();
    decoder_.Reset();
    pending_.clear();
    dropped_ = 0;
    downloading_ = false;
    erased_.clear();
    written_.clear();
    rtos_.Restart();  // the new gdb tells its symbols again
    generalThread_.reset();
    log_ << "client connected" << std::endl;
    HaltIfRunning();
    while (!clientGone_ && !shutdown) {
        if (pending_.empty() && !Receive(kIdlePollMs)) break;
        // One event at a time: a handler that runs the core reads on, and
        // an interrupt behind its packet is then seen by the run.
        while (!pending_.empty() && !clientGone_ && !shutdown) {
            const rsp::Event event = std::move(pending_.front());
            pending_.pop_front();
            HandleEvent(event);
        }
        if (dropped_ > 0) {
            log_ << "warning: " << dropped_ << " packets received during a run were dropped (more than "
                 << options_.maxQueued << " waiting)" << std::endl;
            dropped_ = 0;
        }
    }
    EndClient();
}

void Server::EndClient() {
    if (downloading_) target_.AbortDownload();
    downloading_ = false;
    RemoveAllBreakpoints();
    if (clientFd_ >= 0) close(clientFd_);
    clientFd_ = -1;
    pending_.clear();
    run_.TakeInterrupt();
    log_ << "client disconnected" << std::endl;
}

bool Server::Receive(int timeoutMs) {
    if (clientGone_) return false;
    pollfd client{clientFd_, POLLIN, 0};
    const int ready = poll(&client, 1, timeoutMs);
    if (ready < 0 && errno != EINTR) {
        clientGone_ = true;
        return false;
    }
    if (ready <= 0) return true;
    // Halted, one buffer at a time (the loop handles it before reading on);
    // running, whatever is there up to a bound, so that an interrupt behind
    // a flood of other bytes is seen within a poll or two.
    const std::size_t limit = polling_ ? kMaxReadPerPoll : kReadBuffer;
    uint8_t buffer[kReadBuffer];
    for (std::size_t total = 0; total < limit;) {
        const ssize_t n = recv(clientFd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            decoder_.Feed(buffer, static_cast<std::size_t>(n), [this](rsp::Event&& event) { Queue(std::move(event)); });
            total += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        clientGone_ = true;  // closed, or an error
        return false;
    }
    return true;
}

void Server::Queue(rsp::Event&& event) {
    switch (event.kind) {
        case rsp::Event::Interrupt:
            run_.Interrupt();  // one is kept; more add nothing
            return;
        case rsp::Event::Ack:
            return;
        case rsp::Event::Packet:
        case rsp::Event::BadChecksum:
        case rsp::Event::Oversize:
        case rsp::Event::Nak:
            if (polling_ && pending_.size() >= options_.maxQueued) {
                ++dropped_;
                return;
            }
            pending_.push_back(std::move(event));
            return;
    }
}

void Server::HandleEvent(const rsp::Event& event) {
    switch (event.kind) {
        case rsp::Event::Packet:
            if (ackMode_) SendRaw("+");
            Dispatch(event.payload);
            break;
        case rsp::Event::BadChecksum:
            if (ackMode_) SendRaw("-");
            break;
        case rsp::Event::Oversize:
            if (ackMode_) SendRaw("+");
            Send(kMalformed);
            break;
        case rsp::Event::Nak:
            if (ackMode_ && !lastFrame_.empty()) SendRaw(lastFrame_);
            break;
        case rsp::Event::Interrupt:  // never queued
        case rsp::Event::Ack:
            break;
    }
}

void Server::Dispatch(const std::string& payload) {
    const std::string_view name = PacketName(payload);
    bool known = false;
    for (const PacketSpec& spec : kPackets) {
        if (spec.name != name) continue;
        known = true;
        if (auto args = ParseArguments(payload, name.size(), spec.shape)) {
            if (Reply reply = (this->*spec.handler)(*args)) Send(*reply);
            return;
        }
    }
    Send(known ? kMalformed : std::string());
}

void Server::Send(const std::string& payload) {
    lastFrame_ = rsp::Frame(payload);
    SendRaw(lastFrame_);
}

void Server::SendRaw(const std::string& bytes) {
    // The socket does not block: a client that stops reading is given
    // sendTimeoutMs to take the bytes, then dropped. A shutdown ends the wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.sendTimeoutMs);
    std::size_t done = 0;
    while (done < bytes.size() && !clientGone_) {
        const ssize_t n = send(clientFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (ShuttingDown() || left.count() <= 0) {
                if (!ShuttingDown())
                    log_ << "warning: the client took no data for " << options_.sendTimeoutMs << " ms: dropped"
                         << std::endl;
                clientGone_ = true;
                return;
            }
            pollfd writable{clientFd_, POLLOUT, 0};
            poll(&writable, 1, static_cast<int>(std::min<long long>(left.count(), kIdlePollMs)));
            continue;
        }
        clientGone_ = true;
        return;
    }
}

// ---- Running --------------------------------------------------------------------------

void Server::OnPoll() {
    if (clientFd_ >= 0 && !clientGone_) {
        polling_ = true;
        Receive(0);
        polling_ = false;
    }
    if (clientGone_) run_.Abandon();
    if (ShuttingDown()) run_.Terminate();
}

Server::Reply Server::Resume(RunKind kind) {
    ForgetTargetState();
    if (!attached_) return kMalformed;
    // gdb interrupted while the core was halted: this run stops at once.
    if (run_.TakeInterrupt()) return StopReply(kSigInt);
    const bool step = kind == RunKind::Step;
    if (options_.stepsTakeInterrupts) options_.stepsTakeInterrupts(!step && !watchpoints_.Empty());
    if (!watchpoints_.Empty()) return SteppedRun(step);  // RunFeatures.cpp
    const RunResult result = step ? run_.Step(1) : run_.Continue();
    ForgetTargetState();
    return RunReply(result, step);
}

Server::Reply Server::RunReply(const RunResult& result, bool step) {
    switch (result.end) {
        case RunEnd::Stopped:
            // A run ends at a breakpoint, or where the core could not go on
            // (a bus error, an undefined or a bkpt instruction).
            if (step || result.AtBreakpoint()) return StopReply(kSigTrap);
            return StopReply(FaultSignal());
        case RunEnd::Faulted: return StopReply(step ? kSigSegv : FaultSignal());
        case RunEnd::Interrupted:
        case RunEnd::TimedOut: return StopReply(kSigInt);
        case RunEnd::Abandoned:
        case RunEnd::Terminated: clientGone_ = true; return std::nullopt;
        case RunEnd::Exited: {
            lastSignal_ = kSigTrap;
            char text[16];
            if (result.exit.normal) {
                log_ << "semihosting: the program exited with code " << result.exit.exitCode << std::endl;
                std::snprintf(text, sizeof text, "W%02x", result.exit.exitCode & 0xFF);
            } else {
                log_ << "semihosting: the program stopped with reason 0x" << std::hex << result.exit.exitCode
                     << std::dec << std::endl;
                std::snprintf(text, sizeof text, "X%02x", kSigAbrt);
            }
            return std::string(text);
        }
        case RunEnd::TargetLost:
            // gdb says the program was killed and no longer exists; the
            // server ends with this client.
            targetLost_ = result.detail;
            log_ << "error: the target is lost: " << result.detail << std::endl;
            return std::string("X09");
        case RunEnd::Failed: break;
    }
    return kAccessFailed;
}

uint32_t Server::FaultSignal() {
    const auto pc = Pc();
    if (!pc || target_.Board().arch.trapSize == 0) return kSigSegv;
    const std::vector<uint8_t> code = ReadMemoryCached(*pc, target_.Board().arch.trapSize);
    const bool bkpt = target_.Board().arch.IsTrap(code);  // ARM: BKPT #imm8, 0xBExx
    return bkpt ? kSigTrap : kSigSegv;
}

void Server::Release() {
    ForgetTargetState();
    run_.Release();
}

std::string Server::StopReply(uint32_t signal) {
    lastSignal_ = signal;
    char text[16];
    std::snprintf(text, sizeof text, "T%02x", signal);
    return text + StopFields();
}

void Server::HaltIfRunning() {
    const auto status = target_.Status();
    if (status && status->cause == kCauseRunning) {
        target_.Stop();
        lastSignal_ = kSigInt;
    }
    ForgetTargetState();
}

bool Server::RestartProgram(std::string& error) {
    HaltIfRunning();
    RemoveAllBreakpoints();
    if (downloading_) target_.AbortDownload();
    downloading_ = false;
    erased_.clear();
    written_.clear();
    if (!options_.image.empty()) {
        std::size_t bytes = 0;
        if (!target_.DownloadImage(options_.image, error, bytes)) return false;
        log_ << "downloaded " << options_.image << ": " << bytes << " bytes" << std::endl;
    }
    if (!target_.Reset()) {
        error = "the core could not be reset";
        return false;
    }
    ForgetTargetState();
    lastSignal_ = kSigTrap;
    attached_ = true;
    run_.TakeInterrupt();
    return true;
}
const std::vector<uint32_t>* Server::Registers() {
    if (!registers_) {
        std::vector<uint32_t> values;
        for (std::size_t slot = 0; slot < target_.Slots().size(); ++slot) {
            const auto value = RegisterInSlot(slot);
            if (!value) return nullptr;
            values.push_back(*value);
        }
        registers_ = std::move(values);
    }
    return &*registers_;
}

std::optional<uint32_t> Server::RegisterInSlot(std::size_t slot) {
    if (registers_) return (*registers_)[slot];
    if (const auto known = registerReads_.find(slot); known != registerReads_.end()) return known->second;
    const auto value = target_.ReadRegister(target_.Slots()[slot].id);
    if (value) registerReads_.emplace(slot, *value);
    return value;
}

std::string Server::ExpeditedRegisters() {
    const sim::Architecture& arch = target_.Board().arch;
    const std::vector<RegisterSlot>& slots = target_.Slots();
    std::string fields;
    for (const char* name : arch.gdbExpedited) {
        for (std::size_t slot = 0; slot < slots.size(); ++slot) {
            if (std::string_view(slots[slot].gdbName) != name) continue;
            // One that cannot be read is left for gdb to ask for.
            if (const auto value = RegisterInSlot(slot)) {
                char number[16];
                std::snprintf(number, sizeof number, "%02x:", slots[slot].gdbNumber);
                fields += number + TargetWordHex(*value, arch.bigEndian) + ";";
            }
        }
    }
    return fields;
}

std::optional<uint32_t> Server::Pc() {
    const std::vector<RegisterSlot>& slots = target_.Slots();
    for (std::size_t slot = 0; slot < slots.size(); ++slot)
        if (slots[slot].id == target_.PcId()) return RegisterInSlot(slot);
    return std::nullopt;
}

std::vector<uint8_t> Server::ReadMemoryCached(uint64_t address, uint32_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        const uint64_t at = address + bytes.size();
        const uint64_t base = at & ~(kMemoryBlock - 1);
        auto block = memory_.find(base);
        if (block == memory_.end()) {
            std::vector<uint8_t> fetched = target_.ReadMemory(base, static_cast<uint32_t>(kMemoryBlock));
            // A block that is not readable as a whole (it runs off the mapped
            // memory) is not kept: the rest goes to the target as asked.
            if (fetched.size() != kMemoryBlock) {
                const std::vector<uint8_t> rest = target_.ReadMemory(at, count - static_cast<uint32_t>(bytes.size()));
                bytes.insert(bytes.end(), rest.begin(), rest.end());
                break;
            }
            block = memory_.emplace(base, std::move(fetched)).first;
        }
        const std::size_t offset = static_cast<std::size_t>(at - base);
        const std::size_t n = std::min<std::size_t>(kMemoryBlock - offset, count - bytes.size());
        bytes.insert(bytes.end(), block->second.begin() + static_cast<std::ptrdiff_t>(offset),
                     block->second.begin() + static_cast<std::ptrdiff_t>(offset + n));
    }
    return bytes;
}

void Server::RemoveAllBreakpoints() {
    for (const auto& [address, breakpoint] : breakpoints_) target_.ClearBreakpoint(breakpoint.id);
    breakpoints_.clear();
    watchpoints_.Clear();
}

// ---- Handlers -------------------------------------------------------------------------

Server::Reply Server::HaltReason(const Arguments&) { return StopReply(lastSignal_); }

Server::Reply Server::ReadRegisters(const Arguments&) {
    const auto* values = ThreadRegisters();
    if (!values) return kAccessFailed;
    std::string reply;
    for (uint32_t value : *values) reply += TargetWordHex(value, target_.Board().arch.bigEndian);
    return reply;
}

Server::Reply Server::WriteRegisters(const Arguments& args) {
    const std::vector<RegisterSlot>& slots = target_.Slots();
    if (args.bytes.size() != 4 * slots.size()) return kMalformed;
    if (OtherTaskSelected()) return kTaskNotRunning;
    for (std::size_t i = 0; i < slots.size(); ++i)
        target_.WriteRegister(slots[i].id, TargetWord(args.bytes.data() + 4 * i, target_.Board().arch.bigEndian));
    ForgetTargetState();
    return "OK";
}

Server::Reply Server::ReadRegister(const Arguments& args) {
    const int slot = SlotForNumber(target_, args.numbers[0]);
    if (slot < 0) return kMalformed;
    if (!OtherTaskSelected()) {
        const auto value = RegisterInSlot(static_cast<std::size_t>(slot));
        if (!value) return kAccessFailed;
        return TargetWordHex(*value, target_.Board().arch.bigEndian);
    }
    const auto* values = ThreadRegisters();
    if (!values) return kAccessFailed;
    return TargetWordHex((*values)[static_cast<std::size_t>(slot)], target_.Board().arch.bigEndian);
}

Server::Reply Server::WriteRegister(const Arguments& args) {
    const int slot = SlotForNumber(target_, args.numbers[0]);
    if (slot < 0 || args.bytes.size() != 4) return kMalformed;
    if (OtherTaskSelected()) return kTaskNotRunning;
    target_.WriteRegister(target_.Slots()[static_cast<std::size_t>(slot)].id,
                          TargetWord(args.bytes.data(), target_.Board().arch.bigEndian));
    ForgetTargetState();
    return "OK";
}

Server::Reply Server::ReadMemory(const Arguments& args) {
    // gdb may get fewer bytes than it asked for; the reply must fit a packet.
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(args.numbers[1], (kPacketSize - 4) / 2));
    const std::vector<uint8_t> bytes = ReadMemoryCached(args.numbers[0], count);
    if (bytes.empty() && count > 0) return kAccessFailed;
    return rsp::ToHex(bytes.data(), bytes.size());
}

Server::Reply Server::WriteMemory(const Arguments& args) {
    if (args.bytes.size() != args.numbers[1]) return kMalformed;
    memory_.clear();
    ForgetTasks();
    watchpoints_.ForgetCode();
    if (!target_.WriteMemory(args.numbers[0], args.bytes.data(), args.bytes.size())) return kAccessFailed;
    return "OK";
}

Server::Reply Server::InsertBreakpoint(const Arguments& args) {
    const uint64_t type = args.numbers[0], address = args.numbers[1], kind = args.numbers[2];
    if (type >= 2 && type <= 4) return InsertWatchpoint(args);  // RunFeatures.cpp
    if (type > 1) return std::string();
    // The size of the instruction: Thumb ones of 2 or 4 bytes on ARM, 4
    // bytes on the other families gdb knows.
    if (!target_.Board().arch.AcceptsGdbBreakpointKind(kind)) return kMalformed;
    auto found = breakpoints_.find(address);
    if (found == breakpoints_.end()) {
        // Only where memory is: the core would take any address, and gdb
        // would believe in a breakpoint that can never be hit.
        if (!Mapped(target_.Board(), address, kind == 2 ? 2 : 4)) return kAccessFailed;
        const auto id = target_.SetBreakpoint(address);
        if (!id) return kAccessFailed;
        found = breakpoints_.emplace(address, Breakpoint{*id, 0}).first;
    }
    found->second.types |= 1u << type;
    return "OK";
}

Server::Reply Server::RemoveBreakpoint(const Arguments& args) {
    const uint64_t type = args.numbers[0], address = args.numbers[1];
    if (type >= 2 && type <= 4) return RemoveWatchpoint(args);  // RunFeatures.cpp
    if (type > 1) return std::string();
    auto found = breakpoints_.find(address);
    if (found == breakpoints_.end() || !(found->second.types & 1u << type)) return "OK";
    found->second.types &= ~(1u << type);
    if (found->second.types == 0) {
        const uint32_t id = found->second.id;
        breakpoints_.erase(found);
        if (!target_.ClearBreakpoint(id)) return kAccessFailed;
    }
    return "OK";
}

Server::Reply Server::Continue(const Arguments& args) {
    if (!args.numbers.empty()) target_.WriteRegister(target_.PcId(), static_cast<uint32_t>(args.numbers[0]));
    return Resume(RunKind::Continue);
}

Server::Reply Server::Step(const Arguments& args) {
    if (!args.numbers.empty()) target_.WriteRegister(target_.PcId(), static_cast<uint32_t>(args.numbers[0]));
    return Resume(RunKind::Step);
}

// C SIG[;ADDR] and S SIG[;ADDR]: a bare-metal core has no signal to deliver;
// the run goes on as c and s do, and the console says so once.
Server::Reply Server::ContinueWithSignal(const Arguments& args) {
    NoteSignal(args.numbers[0]);
    if (args.numbers.size() > 1) target_.WriteRegister(target_.PcId(), static_cast<uint32_t>(args.numbers[1]));
    return Resume(RunKind::Continue);
}

Server::Reply Server::StepWithSignal(const Arguments& args) {
    NoteSignal(args.numbers[0]);
    if (args.numbers.size() > 1) target_.WriteRegister(target_.PcId(), static_cast<uint32_t>(args.numbers[1]));
    return Resume(RunKind::Step);
}

void Server::NoteSignal(uint64_t signal) {
    if (signalNoted_) return;
    signalNoted_ = true;
    log_ << "note: gdb resumes with signal " << signal
         << "; the core has no signals to deliver, so it resumes without one (said once)" << std::endl;
}

Server::Reply Server::ContinueActionsSupported(const Arguments&) { return "vCont;c;C;s;S"; }

Server::Reply Server::ContinueActions(const Arguments& args) {
    // All-stop: the first action runs the whole core, whichever thread it
    // names (a task that does not run cannot be resumed on its own).
    switch (args.texts[0][0]) {
        case 'C': NoteSignal(0); [[fallthrough]];
        case 'c': return Resume(RunKind::Continue);
        case 'S': NoteSignal(0); [[fallthrough]];
        case 's': return Resume(RunKind::Step);
        default: return kMalformed;
    }
}

Server::Reply Server::Detach(const Arguments&) {
    RemoveAllBreakpoints();
    Send("OK");
    if (attached_) Release();
    if (extended_) {
        // gdb stays connected: vAttach or vRun take the core again.
        attached_ = false;
        return std::nullopt;
    }
    clientGone_ = true;
    return std::nullopt;
}

Server::Reply Server::Kill(const Arguments&) {
    RemoveAllBreakpoints();
    target_.Reset();
    ForgetTargetState();
    lastSignal_ = kSigTrap;
    run_.TakeInterrupt();
    return std::nullopt;  // gdb waits for no reply
}

Server::Reply Server::KillProcess(const Arguments& args) {
    // Whatever pid gdb names (42000 without multiprocess): there is one.
    Kill(args);
    return "OK";
}

Server::Reply Server::ExtendedMode(const Arguments&) {
    extended_ = true;
    return "OK";
}

Server::Reply Server::Restart(const Arguments&) {
    std::string error;
    if (!RestartProgram(error)) log_ << "warning: restart: " << error << std::endl;
    return std::nullopt;  // R has no reply
}

Server::Reply Server::Run(const Arguments&) {
    // The program is the server's: its image (if any) again, from reset. The
    // file name and arguments gdb sends have no meaning for a bare core.
    std::string error;
    if (!RestartProgram(error)) {
        log_ << "warning: run: " << error << std::endl;
        return kMalformed;
    }
    return StopReply(kSigTrap);
}

Server::Reply Server::Attach(const Arguments& args) {
    if (args.numbers[0] != 1) return kMalformed;  // the one process
    HaltIfRunning();
    attached_ = true;
    run_.TakeInterrupt();
    return StopReply(kSigTrap);
}

Server::Reply Server::Supported(const Arguments&) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "PacketSize=%zx;qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;vContSupported+", kPacketSize);
    return text;
}

Server::Reply Server::StartNoAckMode(const Arguments&) {
    Send("OK");  // still acknowledged by gdb
    ackMode_ = false;
    return std::nullopt;
}

Server::Reply Server::TransferRead(const Arguments& args) {
    const std::string& object = args.texts[0];
    if (args.texts[1] != "read") return std::string();
    for (const TransferObject& entry : kTransferObjects) {
        if (entry.object != object) continue;
        if (entry.annex != args.texts[2]) return "E00";
        const std::string content = entry.content(target_.Board());
        const uint64_t offset = args.numbers[0], length = std::min<uint64_t>(args.numbers[1], kPacketSize / 2);
        if (offset >= content.size()) return "l";
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(length, content.size() - offset));
        const bool last = offset + n >= content.size();
        return (last ? "l" : "m") +
               rsp::EscapeBinary(reinterpret_cast<const uint8_t*>(content.data()) + offset, n);
    }
    return std::string();
}

Server::Reply Server::Attached(const Arguments&) { return "1"; }
Server::Reply Server::Ok(const Arguments&) { return "OK"; }

Server::Reply Server::Monitor(const Arguments& args) {
    const std::string command = MonitorWords(args.bytes);
    if (auto output = SemihostingMonitor(command)) return rsp::ToHex(*output);  // RunFeatures.cpp
    for (const MonitorCommand& entry : kMonitorCommands) {
        if (entry.name != command) continue;
        const MonitorResult result = (this->*entry.handler)();
        if (result.ok) return result.text.empty() ? std::string("OK") : rsp::ToHex(result.text);
        // The text as console output, then an error: gdb reports it and a
        // script stops there.
        Send("O" + rsp::ToHex(result.text));
        return kMalformed;
    }
    Send("O" + rsp::ToHex("unknown monitor command '" + command + "' (try 'monitor help')\n"));
    return kMalformed;
}

Server::MonitorResult Server::MonitorReset() {
    if (!target_.Reset()) return {false, "reset failed\n"};
    ForgetTargetState();
    lastSignal_ = kSigTrap;
    const auto pc = Pc();
    // Without a vector table the pc is the --elf image's entry point.
    const char* where = target_.Board().arch.reset == sim::ResetRule::VectorTable ? " at its reset vector" : "";
    return {true, std::string("reset: the core is halted") + where + (pc ? ", pc " + Hex8(*pc) : std::string()) + "\n"};
}

Server::MonitorResult Server::MonitorResetRun() {
    if (!target_.Reset()) return {false, "reset failed\n"};
    Release();
    return {true, "reset: the core runs\n"};
}

Server::MonitorResult Server::MonitorHalt() {
    if (!target_.Stop()) return {false, "halt failed\n"};
    ForgetTargetState();
    return {true, "halted\n"};
}

Server::MonitorResult Server::MonitorResume() {
    Release();
    const auto status = target_.Status();
    if (!status || status->cause != kCauseRunning) return {false, "the core does not run on\n"};
    return {true, "the core runs\n"};
}

Server::MonitorResult Server::MonitorStatus() {
    const auto status = target_.Status();
    if (!status) return {false, "the status could not be read\n"};
    std::string text = "status: " + CauseText(status->cause) + " (cause " + std::to_string(status->cause) + ")";
    if (status->cause == 4) text += ", breakpoint " + Hex8(status->breakpointId);
    if (!status->message.empty()) text += ": " + status->message;
    if (status->cause != 0)
        if (const auto pc = Pc()) text += "\npc " + Hex8(*pc);
    return {true, text + "\n"};
}

Server::MonitorResult Server::MonitorHelp() {
    std::string text = "monitor commands:\n";
    // Where a reset leaves the core: the board's architecture says.
    const std::string start = target_.Board().arch.reset == sim::ResetRule::VectorTable
                                  ? "at its reset vector"
                                  : "at the --elf image's entry point";
    for (const MonitorCommand& entry : kMonitorCommands) {
        std::string help(entry.help);
        if (const auto at = help.find("{START}"); at != std::string::npos) help.replace(at, 7, start);
        text += "  " + std::string(entry.name) + std::string(entry.name.size() < 12 ? 12 - entry.name.size() : 1, ' ') +
                help + "\n";
    }
    if (target_.Board().arch.semihosting)
        text += "  arm semihosting [enable|disable]\n          carry out the program's bkpt 0xab calls (or not)\n";
    return {true, text};
}

// ---- gdb's flash load ------------------------------------------------------------------

bool Server::StartDownload() {
    memory_.clear();
    if (downloading_) return true;
    if (!target_.BeginDownload()) return false;
    downloading_ = true;
    erased_.clear();
    written_.clear();
    return true;
}

Server::Reply Server::FlashErase(const Arguments& args) {
    // The erase is carried out when the load is done, on the bytes that no
    // write covered: the same bytes read 0xFF then, without writing twice
    // what the load writes anyway.
    if (!StartDownload()) return kAccessFailed;
    AddRange(erased_, args.numbers[0], args.numbers[0] + args.numbers[1]);
    return "OK";
}

Server::Reply Server::FlashWrite(const Arguments& args) {
    if (!StartDownload()) return kAccessFailed;
    uint64_t refused = args.numbers[0];
    if (!target_.DownloadBlocks(args.numbers[0], args.bytes.data(), args.bytes.size(), &refused)) {
        log_ << "warning: load: the target refused address " << Hex8(refused) << " of the block " << Hex8(args.numbers[0])
             << ".." << Hex8(args.numbers[0] + args.bytes.size() - 1) << "; the download was stopped" << std::endl;
        target_.AbortDownload();
        downloading_ = false;
        return kAccessFailed;
    }
    AddRange(written_, args.numbers[0], args.numbers[0] + args.bytes.size());
    return "OK";
}

Server::Reply Server::FlashDone(const Arguments&) {
    ForgetTargetState();
    watchpoints_.ForgetCode();
    if (!downloading_) return "OK";
    return FinishFlash() ? "OK" : kAccessFailed;
}

bool Server::FinishFlash() {
    downloading_ = false;
    bool ok = true;
    for (const auto& [start, end] : erased_) {
        uint64_t at = start;
        auto write = written_.upper_bound(at);
        if (write != written_.begin() && std::prev(write)->second > at) --write;
        while (ok && at < end) {
            const uint64_t gapEnd = write == written_.end() ? end : std::min(end, write->first);
            if (gapEnd > at) {
                const std::vector<uint8_t> erased(static_cast<std::size_t>(gapEnd - at), 0xFF);
                ok = target_.DownloadBlocks(at, erased.data(), erased.size());
            }
            if (write == written_.end()) break;
            at = std::max(at, write->second);
            ++write;
        }
    }
    const bool vectors = target_.Board().arch.reset == sim::ResetRule::VectorTable && std::any_of(written_.begin(), written_.end(), [](const auto& range) {
        return range.first <= kVectorTable && range.second >= kVectorTable + 8;
    });
    erased_.clear();
    written_.clear();
    if (!ok) {
        target_.AbortDownload();
        return false;
    }
    if (!target_.EndDownload()) return false;
    if (vectors) {
        // As a probe's load (and orxdbg's) does: the new program's stack and
        // reset handler, so that a continue right after the load starts it.
        const std::vector<uint8_t> table = target_.ReadMemory(kVectorTable, 8);
        if (table.size() == 8) {
            target_.WriteRegister(target_.SpId(), TargetWord(table.data(), false));
            target_.WriteRegister(target_.PcId(), target_.Board().arch.InstructionAddress(TargetWord(table.data() + 4, false)));
        }
    }
    ForgetTargetState();
    return true;
}

}  // namespace gdbserver
