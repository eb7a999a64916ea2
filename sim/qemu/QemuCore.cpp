#include "sim/qemu/QemuCore.h"

#include "sim/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// The processor time a process has used (user and system), or zero when it
// cannot be read.
std::chrono::milliseconds ProcessorTimeOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return std::chrono::milliseconds(0);
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long user = 0, system = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) user = std::strtoull(field.c_str(), nullptr, 10);
        if (number == 15) system = std::strtoull(field.c_str(), nullptr, 10);
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (ticks <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds((user + system) * 1000ull / static_cast<unsigned long long>(ticks));
}
constexpr uint32_t kMemoryChunk = 1024;  // bytes per m/M packet (QEMU takes 4 KiB packets)

// Thumb's `bkpt 0xab` as it lies in (little-endian) memory: a semihosting call.
constexpr uint8_t kCallBytes[2] = {0xAB, 0xBE};

std::string HexText(const std::string& text) {
    return rsp::ToHex(text);
}

// The signal of a stop reply ("S05", "T05thread:01;"); -1 for other packets.
int StopSignal(const std::string& reply) {
    if (reply.size() >= 3 && (reply[0] == 'S' || reply[0] == 'T')) {
        const auto bytes = RspClient::FromHex(std::string_view(reply).substr(1, 2));
        return bytes.empty() ? -1 : bytes[0];
    }
    return -1;
}

}  // namespace

// The processor halted for the length of one access: a running program is
// paused before and resumed after, exactly where it was.
class QemuCore::Lease {
public:
    explicit Lease(QemuCore& core) : core_(core) { resume_ = core_.Halt(); }
    ~Lease() {
        if (resume_ && core_.failure_.empty()) {
            try {
                core_.registerCache_.clear();
                core_.SyncStubBreakpoints();
                core_.rsp_.Send("c");
                core_.state_ = RunState::Running;
            } catch (const std::exception&) {
                // Reported by the next call, which finds the connection gone.
            }
        }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

private:
    QemuCore& core_;
    bool resume_ = false;
};

QemuCore::QemuCore(const Board& board, Options options) : board_(board), options_(std::move(options)) {
    if (board_.kind != CoreKind::Qemu) throw CoreFailure("board " + board_.name + " is not a QEMU machine");
    Start();
}

QemuCore::~QemuCore() {
    if (pid_ > 0 && failure_.empty()) {
        // A clean end: QEMU gets the kill below all the same; asking it to
        // quit first would only add a round trip.
    }
    Kill();
}

template <class Fn>
auto QemuCore::Guard(Fn&& fn) -> decltype(fn()) {
    CheckUsable();
    try {
        return fn();
    } catch (const RspError& e) {
        Fail(e.what());
    }
}

void QemuCore::CheckUsable() {
    if (!failure_.empty()) throw CoreFailure(failure_);
}

// ---- QEMU's process -----------------------------------------------------------

void QemuCore::Start() {
    char pattern[] = "/tmp/diorx-qemu-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw CoreFailure(std::string("cannot make a directory for QEMU: ") + std::strerror(errno));
    directory_ = pattern;
    const std::string socketPath = directory_ + "/gdb.sock";
    const std::string stderrPath = directory_ + "/stderr";

    const std::string program = options_.program.empty() ? board_.qemuProgram : options_.program;
    std::vector<std::string> args{program,
                                  "-M", board_.qemuMachine,
                                  "-S",
                                  "-display", "none",
                                  "-nodefaults",
                                  "-chardev", "socket,id=diorxgdb,path=" + socketPath + ",server=on,wait=off",
                                  "-gdb", "chardev:diorxgdb",
                                  "-chardev", "stdio,id=diorxcon,signal=off",
                                  "-serial", "chardev:diorxcon"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const int errFd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errFd < 0) throw CoreFailure("cannot create " + stderrPath + ": " + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(errFd);
        throw CoreFailure(std::string("cannot start QEMU: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. QEMU gets a process group
        // of its own, so that the terminal's Ctrl-C reaches only the tool, and
        // dies with the thread that started it.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::getppid() != parent) ::_exit(127);
        const int nullFd = ::open("/dev/null", O_RDONLY);
        if (nullFd >= 0) ::dup2(nullFd, 0);
        ::dup2(errFd, 2);
        if (options_.consoleFd >= 0) ::dup2(options_.consoleFd, 1);
        // Nothing else of the tool's (its listening socket, say) stays open.
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::execvp(argv[0], argv.data());
        const char message[] = "cannot execute QEMU\n";
        [[maybe_unused]] auto ignored = ::write(2, message, sizeof message - 1);
        ::_exit(127);
    }
    ::close(errFd);
    pid_ = pid;
    try {
        Connect(socketPath);
    } catch (const RspError& e) {
        Fail(e.what());
    }
}

void QemuCore::Connect(const std::string& socketPath) {
    const auto started = Clock::now();
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            Fail(WIFEXITED(status) ? "QEMU exited at start with status " + std::to_string(WEXITSTATUS(status))
                                   : "QEMU was killed at start by signal " + std::to_string(WTERMSIG(status)));
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) Fail(std::string("socket: ") + std::strerror(errno));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            rsp_.Attach(fd);
            break;
        }
        ::close(fd);
        const auto used = ProcessorTimeOf(pid_);
        if (used >= options_.startCpuBudget)
            Fail("QEMU's gdb stub did not come up: QEMU spent " + std::to_string(used.count()) +
                 " ms of processor time without listening");
        if (Clock::now() - started > options_.startWallLimit)
            Fail("QEMU's gdb stub did not come up within " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.startWallLimit).count()) +
                 " s (QEMU used " + std::to_string(used.count()) + " ms of processor time)");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto timeout = options_.replyTimeout;
    // The stub listens before the machine is built: its first answer may
    // take as long as the start itself. A QEMU that dies meanwhile closes
    // the connection, which ends the wait at once.
    rsp_.StartNoAckMode(std::max(timeout, options_.startWallLimit));
    const std::string features = rsp_.Transact("qSupported:multiprocess-;xmlRegisters=i386", timeout);
    // QEMU answers p and P only to a client that has read its target
    // description; without one (Nios II, MicroBlaze) registers go through g/G.
    if (features.find("qXfer:features:read+") != std::string::npos) {
        std::string xml;
        for (int parts = 0; parts < 64; ++parts) {
            const std::string reply = rsp_.Transact(
                "qXfer:features:read:target.xml:" + std::to_string(xml.size()) + ",800", timeout);
            if (reply.empty() || (reply[0] != 'm' && reply[0] != 'l')) break;
            xml += reply.substr(1);
            if (reply[0] == 'l') {
                registerPackets_ = true;
                break;
            }
        }
    }
    if (StopSignal(rsp_.Transact("?", timeout)) < 0) Fail("QEMU's gdb stub gave no stop status");
    // QEMU's step masks interrupts and timers unless told otherwise; a stub
    // without the setting (another one, an older QEMU) answers nothing.
    const std::string stepBits = rsp_.Transact("qqemu.sstepbits", timeout);
    stepFlagsKnown_ = stepBits.find("ENABLE=1") != std::string::npos &&
                      stepBits.find("NOIRQ=2") != std::string::npos && stepBits.find("NOTIMER=4") != std::string::npos;
    stepFlags_ = 0;
    SetStepFlags(kStepEnable | kStepNoIrq | kStepNoTimer);
    PlanRegisterBlock();
    state_ = RunState::NotStarted;
}

std::string QemuCore::StderrTail() const {
    std::ifstream in(directory_ + "/stderr");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    const std::size_t first = lines.size() > 5 ? lines.size() - 5 : 0;
    std::string tail;
    for (std::size_t i = first; i < lines.size(); ++i) tail += (tail.empty() ? "" : " | ") + lines[i];
    return tail;
}

void QemuCore::Kill() {
    rsp_.Close();
    KillAndReap(pid_);
    RemoveFolder(directory_);
}

void QemuCore::Fail(const std::string& what) {
    if (failure_.empty()) {
        // A QEMU that dies closes its socket before it can be reaped: a
        // broken connection is seen first, the exit a moment later.
        const std::string exit = ReapEnded(pid_, "QEMU", std::chrono::milliseconds(250));
        const std::string tail = StderrTail();
        failure_ = "QEMU machine " + std::string(board_.qemuMachine) + ": " + what + exit +
                   (tail.empty() ? std::string("; nothing on its standard error") : "; its last lines: " + tail);
        Kill();
    }
    throw CoreFailure(failure_);
}

// ---- Run control --------------------------------------------------------------

int QemuCore::WaitStop(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::max(std::chrono::milliseconds(1),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        const std::string reply = rsp_.Receive(left);
        const int signal = StopSignal(reply);
        if (signal >= 0) return signal;
        if (!reply.empty() && (reply[0] == 'W' || reply[0] == 'X')) Fail("the machine ended (" + reply + ")");
        if (Clock::now() > deadline) Fail("no stop reply within " + std::to_string(timeout.count()) + " ms");
        // Console output ('O...') and anything else is skipped.
    }
}

void QemuCore::PollRunState() {
    if (stepsLeft_ > 0) {
        AdvanceSteps(0);
        return;
    }
    if (state_ == RunState::Running && rsp_.PacketWaiting()) {
        WaitStop(options_.replyTimeout);
        state_ = RunState::Halted;
    }
}

bool QemuCore::Halt() {
    // Between two steps of a long step QEMU is halted already: an access
    // goes ahead and the step carries on at the next poll.
    if (stepsLeft_ > 0) return false;
    PollRunState();
    if (state_ != RunState::Running) return false;
    rsp_.SendInterrupt();
    const int signal = WaitStop(options_.replyTimeout);
    state_ = RunState::Halted;
    // SIGINT answers the interrupt; anything else (a breakpoint reached just
    // before it) is a stop of the program's own and stays.
    return signal == SIGINT;
}

void QemuCore::Reset() {
    Guard([&] {
        EndSteps();
        Halt();
        registerCache_.clear();
        rsp_.Send("qRcmd," + HexText("system_reset"));
        for (;;) {
            const std::string reply = rsp_.Receive(options_.replyTimeout);
            if (reply == "OK") break;
            if (!reply.empty() && reply[0] == 'E') Fail("system_reset failed (" + reply + ")");
        }
        state_ = RunState::NotStarted;
    });
}

void QemuCore::Pause() {
    Guard([&] {
        EndSteps();
        Halt();
        if (state_ == RunState::NotStarted) state_ = RunState::Halted;
    });
}

void QemuCore::Continue() {
    Guard([&] {
        EndSteps();
        PollRunState();
        if (state_ == RunState::Running) return;
        registerCache_.clear();
        SyncStubBreakpoints();
        rsp_.Send("c");
        state_ = RunState::Running;
    });
}

void QemuCore::Step(uint32_t count) {
    Guard([&] {
        EndSteps();
        stepFaulted_ = false;
        Halt();
        state_ = RunState::Halted;
        if (count == 0) return;
        if (AtHiddenCall()) {
            // QEMU would execute the call and fault inside the program; a
            // probe's core does not step past a bkpt, it stays on it.
            stepFaulted_ = true;
            return;
        }
        stepsLeft_ = count;
        firstOfStep_ = true;
        AdvanceSteps(kInlineSteps);
    });
}

void QemuCore::SetStepFlags(uint32_t flags) {
    if (!stepFlagsKnown_ || flags == stepFlags_) return;
    const std::string reply = rsp_.Transact("Qqemu.sstep=" + std::to_string(flags), options_.replyTimeout);
    if (reply != "OK") Fail("QEMU refused the step setting " + std::to_string(flags) + ": " + reply);
    stepFlags_ = flags;
}

void QemuCore::EndSteps() {
    if (stepsLeft_ == 0) return;
    stepsLeft_ = 0;
    state_ = RunState::Halted;
}

void QemuCore::AdvanceSteps(uint32_t atLeast) {
    // QEMU's stub steps one instruction a packet. A long step goes on for a
    // slice of time per call and reports running in between, so that a
    // pause (a cancelled wait) reaches it within one poll of the run state.
    // A short one is done when Step returns.
    const auto until = Clock::now() + options_.stepSlice;
    uint32_t done = 0;
    const int32_t pc = PcIndex();
    state_ = RunState::Running;
    while (stepsLeft_ > 0) {
        registerCache_.clear();
        // With interrupts let in, only the step's first instruction runs as
        // in a run (a pending interrupt taken, the timers going on); the
        // others keep them out, so a handler's code always starts a step of
        // its own, where the caller looks next.
        const bool interrupts = firstOfStep_ && stepInterrupts_.load(std::memory_order_relaxed);
        firstOfStep_ = false;
        SetStepFlags(interrupts ? kStepEnable : kStepEnable | kStepNoIrq | kStepNoTimer);
        rsp_.Send("s");
        const int signal = WaitStop(options_.replyTimeout);
        --stepsLeft_;
        ++done;
        if (signal != SIGTRAP) {
            stepFaulted_ = true;
            stepsLeft_ = 0;
            break;
        }
        // Like a sequence of single steps, the step ends before a later
        // instruction that carries a breakpoint, and fails on a call it
        // cannot step past.
        if (stepsLeft_ > 0 && (!inserted_.empty() || !calls_.empty())) {
            const uint64_t at = HardwareAddress(ReadRegister(pc));
            if (inserted_.count(at) != 0) {
                stepsLeft_ = 0;
                break;
            }
            if (calls_.count(at) != 0) {
                stepFaulted_ = true;
                stepsLeft_ = 0;
                break;
            }
        }
        if (done >= atLeast && Clock::now() >= until) break;
    }
    if (stepsLeft_ == 0) state_ = RunState::Halted;
}

bool QemuCore::IsHalted() {
    return Guard([&] {
        PollRunState();
        return state_ == RunState::Halted;
    });
}

bool QemuCore::IsNotStarted() {
    return Guard([&] {
        PollRunState();
        return state_ == RunState::NotStarted;
    });
}

bool QemuCore::IsRunning() {
    return Guard([&] {
        PollRunState();
        return state_ == RunState::Running;
    });
}

// ---- Registers ------------------------------------------------------------------

int32_t QemuCore::RegisterCount() { return static_cast<int32_t>(board_.arch.registers.size()); }

std::string QemuCore::RegisterName(int32_t index) {
    return index >= 0 && index < RegisterCount() ? board_.arch.registers[static_cast<std::size_t>(index)].name : "";
}

int32_t QemuCore::PcIndex() { return board_.arch.RegisterIndex(RegisterRole::Pc); }

uint32_t QemuCore::Decode(const uint8_t* b) const {
    return board_.arch.bigEndian ? (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]
                            : (uint32_t(b[3]) << 24) | (uint32_t(b[2]) << 16) | (uint32_t(b[1]) << 8) | b[0];
}

void QemuCore::Encode(uint32_t value, uint8_t* b) const {
    for (int i = 0; i < 4; ++i) {
        const int shift = board_.arch.bigEndian ? 24 - 8 * i : 8 * i;
        b[i] = static_cast<uint8_t>(value >> shift);
    }
}

std::vector<uint8_t> QemuCore::ReadGprs() {
    const std::string reply = rsp_.Transact("g", options_.replyTimeout);
    if (reply.empty() || reply[0] == 'E') Fail("register read failed (" + reply + ")");
    return RspClient::FromHex(reply);
}

void QemuCore::PlanRegisterBlock() {
    blockLayout_.clear();
    std::vector<uint32_t> numbers;
    for (const BoardRegister& reg : board_.arch.registers) numbers.push_back(reg.gdbNumber);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    // Given a target description, QEMU's g carries the registers it
    // describes in number order, four bytes each, and leaves out the numbers
    // it does not describe (Cortex-M: r0-r15 then xpsr, number 25, at byte
    // 64; PowerPC: r0-r31 then pc..xer, numbers 64-69, from byte 128). The
    // board's registers are those: the reply must be exactly as long, or it
    // is not read at all. Without a description the numbers are the
    // positions, and the reply may go on past the board's registers.
    blockExact_ = registerPackets_;
    for (uint32_t number : numbers) {
        const std::size_t rank = static_cast<std::size_t>(std::lower_bound(numbers.begin(), numbers.end(), number) - numbers.begin());
        blockLayout_.emplace_back(number, 4 * (blockExact_ ? rank : number));
    }
    blockLength_ = blockExact_ ? 4 * numbers.size() : 4 * (std::size_t(numbers.back()) + 1);
    blockUsable_ = true;
}

bool QemuCore::FillRegisterCache() {
    const std::string reply = rsp_.Transact("g", options_.replyTimeout);
    if (reply.empty() || reply[0] == 'E') {
        if (!registerPackets_) Fail("register read failed (" + reply + ")");
        blockUsable_ = false;
        return false;
    }
    const std::vector<uint8_t> bytes = RspClient::FromHex(reply);
    if (blockExact_ && bytes.size() != blockLength_) {
        // Not the layout the board's registers describe: p reads each one.
        blockUsable_ = false;
        return false;
    }
    for (const auto& [number, offset] : blockLayout_)
        if (offset + 4 <= bytes.size()) registerCache_[number] = Decode(bytes.data() + offset);
    return true;
}

std::optional<uint32_t> QemuCore::StoredAsWritten(const BoardRegister& reg, uint32_t value) const {
    if (reg.writeNeedsRead) return std::nullopt;
    return value & ~reg.writeClears;
}

uint32_t QemuCore::ReadRegister(int32_t index) {
    if (index < 0 || index >= RegisterCount()) return 0;
    return Guard([&] {
        const BoardRegister& reg = board_.arch.registers[static_cast<std::size_t>(index)];
        const uint32_t number = reg.gdbNumber;
        // A halted processor's registers change only by a run, a step or a
        // reset, which forget them all, or by a write, which keeps what
        // QEMU keeps of it: one g reads them all once per stop.
        if (state_ != RunState::Running) {
            const auto cached = registerCache_.find(number);
            if (cached != registerCache_.end()) return cached->second;
        }
        // Read while halted: kept until the lease resumes a running program.
        Lease lease(*this);
        if (blockUsable_ && FillRegisterCache()) {
            const auto filled = registerCache_.find(number);
            if (filled != registerCache_.end()) return filled->second;
            if (!registerPackets_) Fail("register " + RegisterName(index) + " is missing from QEMU's answer");
        }
        std::ostringstream packet;
        packet << 'p' << std::hex << number;
        const std::string reply = rsp_.Transact(packet.str(), options_.replyTimeout);
        if (reply.empty() || reply[0] == 'E') Fail("register " + RegisterName(index) + " cannot be read (" + reply + ")");
        const std::vector<uint8_t> bytes = RspClient::FromHex(reply);
        if (bytes.size() < 4) Fail("register " + RegisterName(index) + " is missing from QEMU's answer");
        const uint32_t value = Decode(bytes.data());
        registerCache_[number] = value;
        return value;
    });
}

uint32_t QemuCore::ReadRegisterFromMachine(int32_t index) {
    if (index >= 0 && index < RegisterCount()) registerCache_.erase(board_.arch.registers[static_cast<std::size_t>(index)].gdbNumber);
    return ReadRegister(index);
}

void QemuCore::WriteRegister(int32_t index, uint32_t value) {
    if (index < 0 || index >= RegisterCount()) return;
    Guard([&] {
        Lease lease(*this);
        auto write = [&](const BoardRegister& reg, uint32_t v) {
            // QEMU holds that value already (the module writes the PC back
            // after each breakpoint stop): nothing to send.
            const auto kept = StoredAsWritten(reg, v);
            const auto cached = registerCache_.find(reg.gdbNumber);
            if (state_ != RunState::Running && kept && kept == v && cached != registerCache_.end() && cached->second == v)
                return;
            // Unknown until QEMU has taken the write.
            registerCache_.erase(reg.gdbNumber);
            if (registerPackets_) {
                uint8_t bytes[4];
                Encode(v, bytes);
                std::ostringstream packet;
                packet << 'P' << std::hex << reg.gdbNumber << '=' << rsp::ToHex(bytes, 4);
                const std::string reply = rsp_.Transact(packet.str(), options_.replyTimeout);
                if (reply != "OK") Fail("register " + std::string(reg.name) + " cannot be written (" + reply + ")");
            } else {
                // G writes every register back as g read it, and so changes
                // only this one.
                std::vector<uint8_t> bytes = ReadGprs();
                if (bytes.size() < 4 * std::size_t(reg.gdbNumber) + 4) Fail("register " + std::string(reg.name) + " is missing");
                Encode(v, bytes.data() + 4 * std::size_t(reg.gdbNumber));
                const std::string reply = rsp_.Transact("G" + rsp::ToHex(bytes.data(), bytes.size()), options_.replyTimeout);
                if (reply != "OK") Fail("registers cannot be written (" + reply + ")");
            }
            if (const auto kept = StoredAsWritten(reg, v)) registerCache_[reg.gdbNumber] = *kept;
        };
        const BoardRegister& reg = board_.arch.registers[static_cast<std::size_t>(index)];
        const uint32_t state = board_.arch.executionStateBits;
        if (state != 0 && reg.role == RegisterRole::Pc) {
            // The PC holds the instruction's address; the processor stays in
            // the state it executes in (Thumb: a reset with no vector table
            // yet may have left it out).
            write(reg, board_.arch.InstructionAddress(value));
            const int32_t status = board_.arch.RegisterIndex(RegisterRole::Status);
            const uint32_t current = ReadRegister(status);
            if ((current & state) != state) write(board_.arch.registers[static_cast<std::size_t>(status)], current | state);
            return;
        }
        write(reg, value);
    });
}

// ---- Memory ------------------------------------------------------------------

int32_t QemuCore::MemorySpaceCount() { return static_cast<int32_t>(board_.regions.size() + 1); }

std::string QemuCore::MemorySpaceName(int32_t index) {
    if (index == 0) return "MEMORY";
    return index > 0 && index < MemorySpaceCount() ? board_.regions[static_cast<std::size_t>(index - 1)].name : "";
}

uint32_t QemuCore::TransferLimit(int32_t index) {
    return index >= 0 && index < MemorySpaceCount() ? kTransferLimit : 0;
}

bool QemuCore::InsideSpace(int32_t index, uint64_t address, uint32_t count) const {
    if (index == 0) return address <= 0xffffffffull && count <= 0x100000000ull - address;
    const BoardRegion& region = board_.regions[static_cast<std::size_t>(index - 1)];
    return address >= region.base && address - region.base <= region.size &&
           count <= region.size - (address - region.base);
}

bool QemuCore::ReadMemory(uint64_t address, uint8_t* bytes, uint32_t count) {
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(kMemoryChunk, count - done);
        std::ostringstream packet;
        packet << 'm' << std::hex << address + done << ',' << n;
        const std::string reply = rsp_.Transact(packet.str(), options_.replyTimeout);
        if (reply.size() != 2 * std::size_t(n)) return false;  // "E14": nothing answers there
        const auto data = RspClient::FromHex(reply);
        std::copy(data.begin(), data.end(), bytes + done);
        done += n;
    }
    return true;
}

bool QemuCore::WriteMemory(uint64_t address, const uint8_t* bytes, uint32_t count) {
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(kMemoryChunk, count - done);
        std::ostringstream packet;
        packet << 'M' << std::hex << address + done << ',' << n << ':' << rsp::ToHex(bytes + done, n);
        if (rsp_.Transact(packet.str(), options_.replyTimeout) != "OK") return false;
        done += n;
    }
    return true;
}

bool QemuCore::ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) {
    if (index < 0 || index >= MemorySpaceCount()) return false;
    if (count == 0) return true;
    if (buffer == nullptr || !InsideSpace(index, address, count)) return false;
    return Guard([&] {
        Lease lease(*this);
        std::vector<uint8_t> bytes(count);
        if (!ReadMemory(address, bytes.data(), count)) return false;
        std::copy(bytes.begin(), bytes.end(), buffer);  // one byte per unit
        return true;
    });
}

bool QemuCore::WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) {
    if (index < 0 || index >= MemorySpaceCount()) return false;
    if (count == 0) return true;
    if (buffer == nullptr || !InsideSpace(index, address, count)) return false;
    return Guard([&] {
        Lease lease(*this);
        std::vector<uint8_t> bytes(count);
        std::transform(buffer, buffer + count, bytes.begin(), [](uint32_t unit) { return static_cast<uint8_t>(unit); });
        // QEMU's debug writes reach read-only memory (flash) too.
        if (!WriteMemory(address, bytes.data(), count)) return false;
        TrackCalls(address, bytes.data(), count);
        return true;
    });
}

bool QemuCore::BeginDownload(int32_t index) {
    CheckUsable();
    return index >= 0 && index < MemorySpaceCount();
}

bool QemuCore::EndDownload(int32_t index) {
    CheckUsable();
    return index >= 0 && index < MemorySpaceCount();
}

// ---- Breakpoints ----------------------------------------------------------------

uint64_t QemuCore::HardwareAddress(uint64_t address) const { return board_.arch.InstructionAddress(address); }

std::optional<uint32_t> QemuCore::BreakpointSpaceId() { return kBreakpointSpace; }

bool QemuCore::HasBreakpoint(uint32_t spaceId, uint64_t address) {
    CheckUsable();
    return spaceId == kBreakpointSpace && breakpoints_.count(address) != 0;
}

bool QemuCore::AddBreakpoint(uint32_t spaceId, uint64_t address) {
    if (spaceId != kBreakpointSpace || address > 0xffffffffull || breakpoints_.count(address) != 0) return false;
    return Guard([&] {
        // A running processor is halted for the change and resumed with it.
        Lease lease(*this);
        ++inserted_[HardwareAddress(address)];
        breakpoints_.insert(address);
        return true;
    });
}

void QemuCore::RemoveBreakpoint(uint32_t spaceId, uint64_t address) {
    if (spaceId != kBreakpointSpace || breakpoints_.count(address) == 0) return;
    Guard([&] {
        Lease lease(*this);
        breakpoints_.erase(address);
        const uint64_t at = HardwareAddress(address);
        if (--inserted_[at] == 0) inserted_.erase(at);
    });
}

void QemuCore::RemoveAllBreakpoints() {
    const std::set<uint64_t> all = breakpoints_;
    for (uint64_t address : all) RemoveBreakpoint(kBreakpointSpace, address);
}

void QemuCore::SyncStubBreakpoints() {
    std::set<uint64_t> wanted = calls_;
    for (const auto& [at, count] : inserted_) wanted.insert(at);
    if (wanted == held_) return;
    for (auto it = held_.begin(); it != held_.end();) {
        if (wanted.count(*it) != 0) {
            ++it;
            continue;
        }
        SetStubBreakpoint(*it, false);
        it = held_.erase(it);
    }
    for (uint64_t at : wanted) {
        if (held_.count(at) != 0) continue;
        // QEMU takes a breakpoint at any address; a refusal leaves a run
        // that would not stop where the debugger expects it to.
        if (!SetStubBreakpoint(at, true)) {
            std::ostringstream what;
            what << "QEMU refused a breakpoint at 0x" << std::hex << at;
            Fail(what.str());
        }
        held_.insert(at);
    }
}

bool QemuCore::SetStubBreakpoint(uint64_t at, bool insert) {
    std::ostringstream packet;
    packet << (insert ? "Z0," : "z0,") << std::hex << at << ',' << board_.arch.GdbBreakpointKind();
    return rsp_.Transact(packet.str(), options_.replyTimeout) == "OK";
}

// ---- Semihosting calls ----------------------------------------------------------

void QemuCore::TrackCalls(uint64_t address, const uint8_t* bytes, uint32_t count) {
    if (!board_.arch.semihosting || board_.arch.bigEndian || count == 0) return;
    // The halfwords the write touched, from the even address at or before
    // its first byte to the one holding its last; a byte of theirs that the
    // write left alone is read from QEMU (none is, for an aligned write).
    const uint64_t first = address & ~uint64_t{1};
    const uint64_t end = (address + count + 1) & ~uint64_t{1};
    std::vector<uint8_t> halfwords(static_cast<std::size_t>(end - first));
    std::copy(bytes, bytes + count, halfwords.begin() + static_cast<std::ptrdiff_t>(address - first));
    // A byte that cannot be read makes no call (0 is not part of one).
    if (address != first && !ReadMemory(first, halfwords.data(), 1)) halfwords.front() = 0;
    if (address + count != end && !ReadMemory(end - 1, &halfwords.back(), 1)) halfwords.back() = 0;
    for (std::size_t offset = 0; offset < halfwords.size(); offset += 2) {
        const uint64_t at = first + offset;
        const bool call = halfwords[offset] == kCallBytes[0] && halfwords[offset + 1] == kCallBytes[1];
        if (call == (calls_.count(at) != 0)) continue;
        if (call)
            calls_.insert(at);
        else
            calls_.erase(at);
    }
}

bool QemuCore::AtHiddenCall() {
    return !calls_.empty() && calls_.count(HardwareAddress(ReadRegister(PcIndex()))) != 0;
}

}  // namespace sim
