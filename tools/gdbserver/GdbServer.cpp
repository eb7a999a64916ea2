// The GDB server: the packet table, the handlers and the run state machine.
//
// Run and interrupt, one client at a time, all on the serving thread:
//
//   no client --accept--> [Halted]      (a core left running by a detach is
//                                         halted first: DiExecStop)
//   [Halted]  --packet--> handler --> reply --> [Halted]
//   [Halted]  --c, s, vCont--> [Running]: DiExecContinue or DiExecSingleStep
//             blocks; once per poll period the module calls PollCallback,
//             which reads the socket without waiting:
//   [Running] --the core stops: the call returns 0--> reply T05 (a continue
//             that did not end at a breakpoint: T0b) --> [Halted]
//   [Running] --0x03 from gdb: DiGdiCancel; the call returns GdiFailed with
//             the core still running--> DiExecStop --> reply T02 --> [Halted]
//   [Running] --the client is gone, or SIGINT/SIGTERM: DiGdiCancel--> DiExecStop
//             --> gdb's breakpoints cleared --> no client
//   [Halted]  --D--> gdb's breakpoints cleared, reply OK --> [Detaching]:
//             DiExecContinue, which the first poll cancels, so the core runs
//             on --> no client
//   [Halted]  --the client is gone--> gdb's breakpoints cleared --> no client
//   any       --SIGINT/SIGTERM--> the server returns; its caller closes the
//             GDI instance.
#include "tools/gdbserver/GdbServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/orxdbg/Session.h"

namespace gdbserver {

namespace {

constexpr uint32_t kSigInt = 2;
constexpr uint32_t kSigTrap = 5;
constexpr uint32_t kSigSegv = 11;
constexpr uint32_t kCauseBreakpoint = 4;
constexpr uint64_t kFlashBlock = 0x400;
constexpr int kIdlePollMs = 100;
constexpr uint64_t kMemoryBlock = 1024;  // what the server reads at once for gdb's small reads

// Error replies: a packet that does not fit its shape, and a target access
// that failed (gdb prints "Cannot access memory" for it).
const std::string kMalformed = "E01";
const std::string kAccessFailed = "E0e";

std::atomic<Server*> g_server{nullptr};

std::string Hex8(uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

std::string LittleEndianHex(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return ToHex(bytes, 4);
}

uint32_t LittleEndianWord(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

const RegisterSlot* SlotForNumber(uint64_t gdbNumber) {
    for (const RegisterSlot& slot : kRegisterSlots)
        if (slot.gdbNumber == gdbNumber) return &slot;
    return nullptr;
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
    {"vCont?", "", &Server::ContinueActionsSupported},
    {"vCont", ";a", &Server::ContinueActions},
    {"D", "", &Server::Detach},
    {"D", ";x", &Server::Detach},
    {"k", "", &Server::Kill},
    {"H", "r", &Server::Ok},
    {"T", "x", &Server::Ok},
    {"qSupported", "", &Server::Supported},
    {"qSupported", ":r", &Server::Supported},
    {"QStartNoAckMode", "", &Server::StartNoAckMode},
    {"qXfer", ":s:s:s:x,x", &Server::TransferRead},
    {"qAttached", "", &Server::Attached},
    {"qAttached", ":x", &Server::Attached},
    {"qC", "", &Server::CurrentThread},
    {"qfThreadInfo", "", &Server::FirstThreadInfo},
    {"qsThreadInfo", "", &Server::NextThreadInfo},
    {"qRcmd", ",h", &Server::Monitor},
    {"vFlashErase", ":x,x", &Server::FlashErase},
    {"vFlashWrite", ":x:b", &Server::FlashWrite},
    {"vFlashDone", "", &Server::FlashDone},
};

struct MonitorCommand {
    std::string_view name;
    std::string_view help;
    std::string (Server::*handler)();
};

constexpr MonitorCommand kMonitorCommands[] = {
    {"reset", "reset the core and leave it halted at its reset vector", &Server::MonitorReset},
    {"halt", "halt the core", &Server::MonitorHalt},
    {"status", "why the core last stopped, and its pc", &Server::MonitorStatus},
    {"help", "this list", &Server::MonitorHelp},
};

// Objects that qXfer:OBJECT:read:ANNEX reads.
struct TransferObject {
    std::string_view object;
    std::string_view annex;
    std::string (*content)();
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

}  // namespace

std::string TargetDescription() {
    const sim::Board& board = orxdbg::CurrentBoard();
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n<target version=\"1.0\">\n"
                      "<architecture>" + std::string(board.gdbArchitecture) + "</architecture>\n<feature name=\"" +
                      board.gdbFeature + "\">\n";
    for (const RegisterSlot& slot : kRegisterSlots) {
        const std::string_view name = slot.gdbName;
        const char* type = name == "sp" ? " type=\"data_ptr\"" : name == "pc" ? " type=\"code_ptr\"" : "";
        xml += "<reg name=\"" + std::string(name) + "\" bitsize=\"32\" regnum=\"" + std::to_string(slot.gdbNumber) +
               "\"" + type + "/>\n";
    }
    xml += "</feature>\n</target>\n";
    return xml;
}

// The board's regions: flash is written through vFlashWrite, in blocks.
std::string MemoryMap() {
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\" "
                      "\"http://sourceware.org/gdb/gdb-memory-map.dtd\">\n<memory-map>\n";
    for (const sim::BoardRegion& region : orxdbg::CurrentBoard().regions) {
        if (region.flash)
            xml += "<memory type=\"flash\" start=\"" + Hex8(region.base) + "\" length=\"" + Hex8(region.size) +
                   "\">\n<property name=\"blocksize\">" + Hex8(kFlashBlock) + "</property>\n</memory>\n";
        else
            xml += "<memory type=\"ram\" start=\"" + Hex8(region.base) + "\" length=\"" + Hex8(region.size) + "\"/>\n";
    }
    return xml + "</memory-map>\n";
}

// ---- Sockets and the client loop ------------------------------------------------------

Server::Server(Target& target, std::ostream& log) : target_(target), log_(log) { g_server = this; }

Server::~Server() {
    Server* self = this;
    g_server.compare_exchange_strong(self, nullptr);
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
    while (!shutdown) {
        pollfd listening{listenFd_, POLLIN, 0};
        if (poll(&listening, 1, kIdlePollMs) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
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
    lastFrame_.clear();
    decoder_.Reset();
    pending_.clear();
    downloading_ = false;
    log_ << "client connected" << std::endl;
    HaltIfRunning();
    while (!clientGone_ && !shutdown) {
        if (pending_.empty() && !Receive(kIdlePollMs)) break;
        // Handlers may receive more (during a run); take the queue as it is now.
        std::vector<RspEvent> events;
        events.swap(pending_);
        for (RspEvent& event : events) {
            if (clientGone_) break;
            HandleEvent(event);
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
    log_ << "client disconnected" << std::endl;
}

bool Server::Receive(int timeoutMs) {
    pollfd client{clientFd_, POLLIN, 0};
    const int ready = poll(&client, 1, timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    uint8_t buffer[65536];
    const ssize_t n = recv(clientFd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        clientGone_ = true;
        return false;
    }
    decoder_.Feed(buffer, static_cast<std::size_t>(n), pending_);
    return true;
}

void Server::HandleEvent(RspEvent& event) {
    switch (event.kind) {
        case RspEvent::Packet:
            if (ackMode_) SendRaw("+");
            Dispatch(event.payload);
            break;
        case RspEvent::BadChecksum:
            if (ackMode_) SendRaw("-");
            break;
        case RspEvent::Oversize:
            if (ackMode_) SendRaw("+");
            Send(kMalformed);
            break;
        case RspEvent::Nak:
            if (ackMode_ && !lastFrame_.empty()) SendRaw(lastFrame_);
            break;
        case RspEvent::Interrupt:  // the core is already halted
        case RspEvent::Ack:
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
    lastFrame_ = Frame(payload);
    SendRaw(lastFrame_);
}

void Server::SendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !clientGone_) {
        const ssize_t n = send(clientFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            clientGone_ = true;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// ---- Running --------------------------------------------------------------------------

void DI_CDECL Server::PollCallback() {
    if (Server* server = g_server.load()) server->OnPoll();
}

void Server::OnPoll() {
    if (phase_ == Phase::Detaching) {
        target_.Cancel();
        return;
    }
    if (phase_ != Phase::Running) return;
    if (clientFd_ >= 0 && !clientGone_) {
        Receive(0);
        // An interrupt is acted on here; anything else waits for the stop.
        auto interrupt = std::find_if(pending_.begin(), pending_.end(),
                                      [](const RspEvent& e) { return e.kind == RspEvent::Interrupt; });
        if (interrupt != pending_.end()) {
            interruptRequested_ = true;
            pending_.erase(interrupt);
        }
    }
    if (interruptRequested_ || clientGone_ || (shutdown_ && *shutdown_)) target_.Cancel();
}

Server::Reply Server::Resume(bool step) {
    ForgetTargetState();
    phase_ = Phase::Running;
    interruptRequested_ = false;
    const RunOutcome outcome = step ? target_.Step() : target_.Continue();
    phase_ = Phase::Halted;
    switch (outcome) {
        case RunOutcome::Stopped: {
            // A run ends at a breakpoint, or where the core could not go on
            // (a bus error, an undefined instruction): gdb shows a SIGSEGV.
            if (step) return StopReply(kSigTrap);
            const auto status = target_.Status();
            return StopReply(status && status->cause != kCauseBreakpoint ? kSigSegv : kSigTrap);
        }
        case RunOutcome::Cancelled:
            target_.Stop();
            if (clientGone_ || (shutdown_ && *shutdown_)) {
                clientGone_ = true;
                return std::nullopt;
            }
            return StopReply(kSigInt);
        case RunOutcome::Failed:
            break;
    }
    return kAccessFailed;
}

std::string Server::StopReply(uint32_t signal) {
    lastSignal_ = signal;
    char text[16];
    std::snprintf(text, sizeof text, "T%02xthread:1;", signal);
    return text;
}

void Server::HaltIfRunning() {
    const auto status = target_.Status();
    if (status && status->cause == 0) {
        target_.Stop();
        lastSignal_ = kSigInt;
    }
    ForgetTargetState();
}

const std::array<uint32_t, kRegisterCount>* Server::Registers() {
    if (!registers_) {
        std::array<uint32_t, kRegisterCount> values{};
        for (std::size_t i = 0; i < kRegisterCount; ++i) {
            const auto value = target_.ReadRegister(kRegisterSlots[i].id);
            if (!value) return nullptr;
            values[i] = *value;
        }
        registers_ = values;
    }
    return &*registers_;
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
}

// ---- Handlers -------------------------------------------------------------------------

Server::Reply Server::HaltReason(const Arguments&) { return StopReply(lastSignal_); }

Server::Reply Server::ReadRegisters(const Arguments&) {
    const auto* values = Registers();
    if (!values) return kAccessFailed;
    std::string reply;
    for (uint32_t value : *values) reply += LittleEndianHex(value);
    return reply;
}

Server::Reply Server::WriteRegisters(const Arguments& args) {
    if (args.bytes.size() != 4 * kRegisterCount) return kMalformed;
    for (std::size_t i = 0; i < kRegisterCount; ++i)
        target_.WriteRegister(kRegisterSlots[i].id, LittleEndianWord(args.bytes.data() + 4 * i));
    ForgetTargetState();
    return "OK";
}

Server::Reply Server::ReadRegister(const Arguments& args) {
    const RegisterSlot* slot = SlotForNumber(args.numbers[0]);
    if (!slot) return kMalformed;
    const auto* values = Registers();
    if (!values) return kAccessFailed;
    return LittleEndianHex((*values)[static_cast<std::size_t>(slot - kRegisterSlots)]);
}

Server::Reply Server::WriteRegister(const Arguments& args) {
    const RegisterSlot* slot = SlotForNumber(args.numbers[0]);
    if (!slot || args.bytes.size() != 4) return kMalformed;
    target_.WriteRegister(slot->id, LittleEndianWord(args.bytes.data()));
    ForgetTargetState();
    return "OK";
}

Server::Reply Server::ReadMemory(const Arguments& args) {
    // gdb may get fewer bytes than it asked for; the reply must fit a packet.
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(args.numbers[1], (kPacketSize - 4) / 2));
    const std::vector<uint8_t> bytes = ReadMemoryCached(args.numbers[0], count);
    if (bytes.empty() && count > 0) return kAccessFailed;
    return ToHex(bytes.data(), bytes.size());
}

Server::Reply Server::WriteMemory(const Arguments& args) {
    if (args.bytes.size() != args.numbers[1]) return kMalformed;
    memory_.clear();
    if (!target_.WriteMemory(args.numbers[0], args.bytes.data(), args.bytes.size())) return kAccessFailed;
    return "OK";
}

Server::Reply Server::InsertBreakpoint(const Arguments& args) {
    const uint64_t type = args.numbers[0], address = args.numbers[1], kind = args.numbers[2];
    if (type > 1) return std::string();  // watchpoints: not offered
    if (kind != 2 && kind != 3) return kMalformed;  // Thumb instructions only
    auto found = breakpoints_.find(address);
    if (found == breakpoints_.end()) {
        const auto id = target_.SetBreakpoint(address);
        if (!id) return kAccessFailed;
        found = breakpoints_.emplace(address, Breakpoint{*id, 0}).first;
    }
    found->second.types |= 1u << type;
    return "OK";
}

Server::Reply Server::RemoveBreakpoint(const Arguments& args) {
    const uint64_t type = args.numbers[0], address = args.numbers[1];
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
    if (!args.numbers.empty()) target_.WriteRegister(kPcId, static_cast<uint32_t>(args.numbers[0]));
    return Resume(false);
}

Server::Reply Server::Step(const Arguments& args) {
    if (!args.numbers.empty()) target_.WriteRegister(kPcId, static_cast<uint32_t>(args.numbers[0]));
    return Resume(true);
}

Server::Reply Server::ContinueActionsSupported(const Arguments&) { return "vCont;c;C;s;S"; }

Server::Reply Server::ContinueActions(const Arguments& args) {
    // One thread: the first action is the one that applies to it.
    switch (args.texts[0][0]) {
        case 'c':
        case 'C': return Resume(false);
        case 's':
        case 'S': return Resume(true);
        default: return kMalformed;
    }
}

Server::Reply Server::Detach(const Arguments&) {
    RemoveAllBreakpoints();
    Send("OK");
    phase_ = Phase::Detaching;
    ForgetTargetState();
    target_.Continue();
    phase_ = Phase::Halted;
    clientGone_ = true;
    return std::nullopt;
}

Server::Reply Server::Kill(const Arguments&) {
    RemoveAllBreakpoints();
    target_.Reset();
    ForgetTargetState();
    lastSignal_ = kSigTrap;
    return std::nullopt;  // gdb waits for no reply
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
        const std::string content = entry.content();
        const uint64_t offset = args.numbers[0], length = std::min<uint64_t>(args.numbers[1], kPacketSize / 2);
        if (offset >= content.size()) return "l";
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(length, content.size() - offset));
        const bool last = offset + n >= content.size();
        return (last ? "l" : "m") +
               EscapeBinary(reinterpret_cast<const uint8_t*>(content.data()) + offset, n);
    }
    return std::string();
}

Server::Reply Server::Attached(const Arguments&) { return "1"; }
Server::Reply Server::CurrentThread(const Arguments&) { return "QC1"; }
Server::Reply Server::FirstThreadInfo(const Arguments&) { return "m1"; }
Server::Reply Server::NextThreadInfo(const Arguments&) { return "l"; }
Server::Reply Server::Ok(const Arguments&) { return "OK"; }

Server::Reply Server::Monitor(const Arguments& args) {
    std::string command(args.bytes.begin(), args.bytes.end());
    while (!command.empty() && (command.back() == ' ' || command.back() == '\n')) command.pop_back();
    command.erase(0, command.find_first_not_of(' '));
    std::string output = "unknown monitor command '" + command + "' (try 'monitor help')\n";
    for (const MonitorCommand& entry : kMonitorCommands)
        if (entry.name == command) output = (this->*entry.handler)();
    return ToHex(output);
}

std::string Server::MonitorReset() {
    if (!target_.Reset()) return "reset failed\n";
    ForgetTargetState();
    lastSignal_ = kSigTrap;
    const auto* values = Registers();
    return "reset: the core is halted at its reset vector" +
           (values ? ", pc " + Hex8((*values)[15]) : std::string()) + "\n";
}

std::string Server::MonitorHalt() {
    if (!target_.Stop()) return "halt failed\n";
    ForgetTargetState();
    return "halted\n";
}

std::string Server::MonitorStatus() {
    const auto status = target_.Status();
    if (!status) return "the status could not be read\n";
    std::string text = "status: " + CauseText(status->cause) + " (cause " + std::to_string(status->cause) + ")";
    if (status->cause == 4) text += ", breakpoint " + Hex8(status->breakpointId);
    if (!status->message.empty()) text += ": " + status->message;
    if (status->cause != 0)
        if (const auto* values = Registers()) text += "\npc " + Hex8((*values)[15]);
    return text + "\n";
}

std::string Server::MonitorHelp() {
    std::string text = "monitor commands:\n";
    for (const MonitorCommand& entry : kMonitorCommands)
        text += "  " + std::string(entry.name) + std::string(8 - entry.name.size(), ' ') + std::string(entry.help) + "\n";
    return text;
}

Server::Reply Server::FlashErase(const Arguments&) {
    // The download replaces the flash contents; there is nothing to erase
    // beforehand. The first erase of a load starts the download.
    memory_.clear();
    if (!downloading_) {
        if (!target_.BeginDownload()) return kAccessFailed;
        downloading_ = true;
    }
    return "OK";
}

Server::Reply Server::FlashWrite(const Arguments& args) {
    memory_.clear();
    if (!downloading_) {
        if (!target_.BeginDownload()) return kAccessFailed;
        downloading_ = true;
    }
    if (!target_.DownloadBlocks(args.numbers[0], args.bytes.data(), args.bytes.size())) {
        target_.AbortDownload();
        downloading_ = false;
        return kAccessFailed;
    }
    return "OK";
}

Server::Reply Server::FlashDone(const Arguments&) {
    ForgetTargetState();
    if (!downloading_) return "OK";
    downloading_ = false;
    return target_.EndDownload() ? "OK" : kAccessFailed;
}

}  // namespace gdbserver
