#include "sim/s51/S51Core.h"

#include "sim/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// s51 reads at most this much of its console at a time; a longer write in
// one go garbles the answers.
constexpr std::size_t kConsoleChunk = 127;
// Bytes per "set memory" line in a command file.
constexpr uint32_t kBytesPerLine = 32;
constexpr int kUserStop = 105;        // "(105) User stopped"
constexpr int kBreakpointStop = 104;  // "(104) Breakpoint"
// A step this long is a run (some minutes of simulated 8051).
constexpr uint32_t kRunSteps = 2000000000;

struct SpaceInfo {
    const char* name;   // the board's
    const char* s51;    // s51's memory
    uint32_t base, size;
};
constexpr SpaceInfo kSpaces[S51Core::kSpaceCount] = {
    {"CODE", "rom", 0x0000, 0x10000},
    {"IDATA", "iram", 0x00, 0x100},
    {"SFR", "sfr", 0x80, 0x80},
    {"XDATA", "xram", 0x0000, 0x10000},
};

// Where each register lives: an SFR (DPTR: DPL and DPH after it), or the
// register bank.
constexpr const char* kRegisterNames[S51Core::kRegisterCount] = {"PC", "A",  "B",  "PSW", "SP", "DPTR", "R0",
                                                                 "R1", "R2", "R3", "R4",  "R5", "R6",   "R7"};
constexpr uint32_t kSfrOf[S51Core::kRegisterCount] = {0, 0xe0, 0xf0, 0xd0, 0x81, 0x82, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr uint32_t kPsw = 0xd0;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The answer without colour codes (ESC [ ... letter).
std::string WithoutColours(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            i += 2;
            while (i < text.size() && !std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
            continue;
        }
        plain += text[i];
    }
    return plain;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// s51's ways of refusing a command. Dump lines (which start with an
// address) carry memory as text and are not looked at.
std::string Refusal(const std::string& answer) {
    static const char* const kMarks[] = {"rror", "No breakpoint", "Unknown", "must be followed", "memory_type",
                                         "Invalid"};
    for (const std::string& line : Lines(answer)) {
        if (line.rfind("0x", 0) == 0) continue;
        for (const char* mark : kMarks)
            if (line.find(mark) != std::string::npos) return line;
    }
    return {};
}

}  // namespace

// The program halted for the length of one access: a run of the core's is
// stopped before and goes on after.
class S51Core::Lease {
public:
    explicit Lease(S51Core& core) : core_(core) { resume_ = core_.Halt(); }
    ~Lease() {
        if (!resume_ || !core_.failure_.empty()) return;
        try {
            core_.Continue();
        } catch (const std::exception&) {
            // The next call finds the core failed.
        }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

private:
    S51Core& core_;
    bool resume_ = false;
};

S51Core::S51Core(Options options) : options_(std::move(options)) { Start(); }

S51Core::~S51Core() { Kill(); }

// ---- s51's process --------------------------------------------------------------

void S51Core::Start() {
    char pattern[] = "/tmp/diorx-s51-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw CoreFailure(std::string("cannot make a directory for s51: ") + std::strerror(errno));
    directory_ = pattern;

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0) ::close(master);
        Kill();
        throw CoreFailure(std::string("cannot open a pseudo-terminal for s51: ") + std::strerror(errno));
    }
    console_ = master;
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) Fail("cannot name the pseudo-terminal");
    // Held until s51 has answered: without an end open, the terminal would
    // report a hang-up.
    const int terminal = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) Fail(std::string("cannot open ") + name);
    termios raw{};
    ::tcgetattr(terminal, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(terminal, TCSANOW, &raw);

    const std::string program = options_.program.empty() ? "s51" : options_.program;
    std::vector<std::string> args{program, "-P", "-c", name};
    if (options_.blackAndWhite) args.insert(args.begin() + 2, "-b");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outputPath = directory_ + "/output";
    const int outFd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (outFd < 0) {
        ::close(terminal);
        Fail("cannot create " + outputPath);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(terminal);
        ::close(outFd);
        Fail(std::string("cannot start s51: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. A process group of its
        // own keeps the terminal's Ctrl-C from it; it dies with the thread
        // that started it.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::getppid() != parent) ::_exit(127);
        const int nullFd = ::open("/dev/null", O_RDONLY);
        if (nullFd >= 0) ::dup2(nullFd, 0);
        ::dup2(outFd, 1);
        ::dup2(outFd, 2);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::execvp(argv[0], argv.data());
        const char message[] = "cannot execute s51\n";
        [[maybe_unused]] auto ignored = ::write(2, message, sizeof message - 1);
        ::_exit(127);
    }
    ::close(outFd);
    pid_ = pid;
    // The banner ends with the first prompt. An s51 that cannot start says
    // so by its exit.
    expected_.push_back({"(start)", [](const std::string&) {}});
    const auto deadline = Clock::now() + options_.replyTimeout;
    try {
        while (!expected_.empty()) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                Fail(WIFEXITED(status) ? "exited at start with status " + std::to_string(WEXITSTATUS(status))
                                       : "was killed at start by signal " + std::to_string(WTERMSIG(status)));
            }
            if (Clock::now() > deadline)
                Fail("no console within " + std::to_string(options_.replyTimeout.count()) + " ms");
            pollfd ready{console_, POLLIN, 0};
            ::poll(&ready, 1, 20);
            Receive(false);
        }
    } catch (...) {
        ::close(terminal);
        throw;
    }
    ::close(terminal);
}

std::string S51Core::OutputTail() const {
    std::ifstream in(directory_ + "/output");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    const std::size_t first = lines.size() > 5 ? lines.size() - 5 : 0;
    std::string tail;
    for (std::size_t i = first; i < lines.size(); ++i) tail += (tail.empty() ? "" : " | ") + lines[i];
    return tail;
}

void S51Core::Kill() {
    if (console_ >= 0) {
        ::close(console_);
        console_ = -1;
    }
    KillAndReap(pid_);
    RemoveFolder(directory_);
}

void S51Core::Fail(const std::string& what) {
    if (failure_.empty()) {
        // An s51 that dies closes the terminal a moment before it can be
        // reaped.
        const std::string exit = ReapEnded(pid_, "s51", std::chrono::milliseconds(100));
        const std::string tail = OutputTail();
        failure_ = "s51: " + what + exit + (tail.empty() ? std::string() : "; its last lines: " + tail);
        Kill();
        expected_.clear();
        queued_.clear();
    }
    throw CoreFailure(failure_);
}

void S51Core::CheckUsable() {
    if (!failure_.empty()) throw CoreFailure(failure_);
}

// ---- The console -------------------------------------------------------------------

void S51Core::Receive(bool block) {
    const auto deadline = Clock::now() + options_.replyTimeout;
    for (;;) {
        // Whole answers first.
        for (std::size_t end; !expected_.empty() && (end = input_.find('\0')) != std::string::npos;) {
            const std::string answer = WithoutColours(input_.substr(0, end));
            input_.erase(0, end + 1);
            Expected e = std::move(expected_.front());
            expected_.pop_front();
            e.handle(answer);
        }
        if (!block) {
            pollfd ready{console_, POLLIN, 0};
            if (::poll(&ready, 1, 0) <= 0) return;
        } else {
            const bool waiting = std::any_of(expected_.begin(), expected_.end(), [](const Expected& e) { return !e.stop; });
            if (!waiting) return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) Fail("no answer to '" + expected_.front().command + "' within " +
                                        std::to_string(options_.replyTimeout.count()) + " ms");
            pollfd ready{console_, POLLIN, 0};
            const int n = ::poll(&ready, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) continue;
        }
        char buffer[8192];
        const ssize_t n = ::read(console_, buffer, sizeof buffer);
        if (n > 0) {
            input_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        Fail("the console closed (s51 ended)");
    }
}

void S51Core::Drain() { Receive(true); }

void S51Core::Queue(std::string command) { queued_.push_back(std::move(command)); }

void S51Core::Send(std::vector<Expected> commands) {
    CheckUsable();
    std::vector<Expected> all;
    // What the queue did with the PC: a reset or a written PC set it, a
    // step leaves it to the step's answer.
    std::size_t queuedText = 0;
    for (const std::string& q : queued_) queuedText += q.size() + 1;
    std::size_t commandText = 0;
    for (const Expected& e : commands) commandText += e.command.size() + 1;
    const bool stepPc = stepDecidesPc_;
    stepDecidesPc_ = false;
    const auto checked = [this, stepPc](std::string command) {
        return Expected{command, [this, command, stepPc](const std::string& answer) {
                            if (const std::string refused = Refusal(answer); !refused.empty())
                                Fail("'" + command + "' refused: " + refused);
                            if (stepPc) TakeStop(answer);
                        }};
    };
    if (queuedText + commandText <= kConsoleChunk) {
        for (const std::string& q : queued_) all.push_back(checked(q));
    } else if (!queued_.empty()) {
        // Too much for one write: s51 runs the queue from a command file.
        const std::string file = directory_ + "/batch.cmd";
        std::ofstream out(file, std::ios::trunc);
        for (const std::string& q : queued_) out << q << '\n';
        out.close();
        if (!out) Fail("cannot write " + file);
        all.push_back(checked("exec \"" + file + "\""));
    }
    queued_.clear();
    for (Expected& e : commands) all.push_back(std::move(e));
    if (all.empty()) return;

    // Writes of at most one console chunk, each answered before the next.
    std::size_t next = 0;
    while (next < all.size()) {
        std::string text;
        std::size_t count = 0;
        while (next + count < all.size() &&
               (count == 0 || text.size() + all[next + count].command.size() + 1 <= kConsoleChunk)) {
            text += all[next + count].command + "\n";
            ++count;
        }
        for (std::size_t i = 0; i < count; ++i) expected_.push_back(std::move(all[next + i]));
        next += count;
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(console_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) Fail("cannot write to the console (s51 ended?)");
            done += static_cast<std::size_t>(n);
        }
        ++roundTrips_;
        Drain();
    }
}

bool S51Core::TakeStop(const std::string& answer) {
    static const std::regex stop(R"(Stop at 0x([0-9a-fA-F]+): \((\d+)\))");
    std::optional<uint32_t> pc;
    int reason = 0;
    for (auto it = std::sregex_iterator(answer.begin(), answer.end(), stop); it != std::sregex_iterator(); ++it) {
        pc = static_cast<uint32_t>(std::stoul((*it)[1].str(), nullptr, 16));
        reason = std::stoi((*it)[2].str());
    }
    if (!pc) return false;
    pc_ = *pc & 0xffff;
    lastStopByUser_ = reason == kUserStop;
    lastStopAtBreakpoint_ = reason == kBreakpointStop;
    return true;
}

std::chrono::microseconds S51Core::Ping() {
    Flush();
    const auto start = Clock::now();
    Send({Expected{"expression 1+2", [](const std::string&) {}}});
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

// ---- Run control -------------------------------------------------------------------

void S51Core::PollRunState() {
    CheckUsable();
    if (state_ == RunState::Running) Receive(false);
}

bool S51Core::Halt() {
    PollRunState();
    if (state_ != RunState::Running) return false;
    stopRequested_ = true;
    static const char kStop[] = "stop\n";
    if (::write(console_, kStop, sizeof kStop - 1) != static_cast<ssize_t>(sizeof kStop - 1))
        Fail("cannot write to the console (s51 ended?)");
    ++roundTrips_;
    const auto deadline = Clock::now() + options_.replyTimeout;
    while (state_ == RunState::Running) {
        if (Clock::now() > deadline) Fail("no stop within " + std::to_string(options_.replyTimeout.count()) + " ms");
        pollfd ready{console_, POLLIN, 0};
        ::poll(&ready, 1, 10);
        Receive(false);
    }
    // A run that stopped by itself before "stop" arrived leaves "stop" to
    // be answered as a command of its own.
    Drain();
    return lastStopByUser_;
}

void S51Core::Forget() {
    for (int32_t space = 0; space < kSpaceCount; ++space)
        if (space != kCode) pages_[space].clear();
}

void S51Core::Reset() {
    CheckUsable();
    Halt();
    Queue("reset");
    stepDecidesPc_ = false;
    Forget();
    pc_ = 0;
    state_ = RunState::NotStarted;
}

void S51Core::Pause() {
    CheckUsable();
    Halt();
    if (state_ == RunState::NotStarted) state_ = RunState::Halted;
}

void S51Core::Continue() {
    PollRunState();
    if (state_ == RunState::Running) return;
    // s51's run executes the instruction it starts from whatever it
    // carries. A continue right after a step that is still queued (the way
    // off a breakpoint) becomes one long step instead: s51 ends it on a
    // breakpoint as a run would, but already before the second instruction.
    // Breakpoint changes queued after the step may go before it: a step's
    // first instruction ignores them.
    std::string command = "run";
    const auto step = std::find(queued_.rbegin(), queued_.rend(), "step");
    const bool fused = step != queued_.rend() && std::all_of(queued_.rbegin(), step, [](const std::string& q) {
        return q.rfind("break ", 0) == 0 || q.rfind("clear ", 0) == 0 || q == "delete";
    });
    if (fused) {
        queued_.erase(std::next(step).base());
        stepDecidesPc_ = false;
        command = "step " + std::to_string(kRunSteps);
    } else {
        if (!pc_) Flush();
        if (pc_ && breakpoints_.count(static_cast<uint16_t>(*pc_))) {
            // A breakpoint under the PC stops the run before it starts.
            lastStopAtBreakpoint_ = true;
            lastStopByUser_ = false;
            pc_ = (*pc_ + 1) & 0xffff;
            Queue("pc " + Hex(*pc_));
            stepDecidesPc_ = false;
            state_ = RunState::Halted;
            return;
        }
    }
    Forget();
    pc_.reset();
    state_ = RunState::Running;
    stopRequested_ = false;
    Send({Expected{command, [this](const std::string& answer) { EndRun(answer, true); }, true}});
}

void S51Core::EndRun(const std::string& answer, bool run) {
    if (!TakeStop(answer)) Fail("a run ended without a stop: " + answer.substr(0, 200));
    state_ = RunState::Halted;
    if (run && lastStopAtBreakpoint_) {
        // As a one-byte trap in the instruction's place would leave it.
        pc_ = (*pc_ + 1) & 0xffff;
        Queue("pc " + Hex(*pc_));
        stepDecidesPc_ = false;
    }
    // "stop" that came after the program had stopped by itself is read as
    // a command: its answer comes next.
    if (stopRequested_ && !lastStopByUser_) expected_.push_back({"stop", [](const std::string&) {}});
    stopRequested_ = false;
}

void S51Core::Step(uint32_t count) {
    CheckUsable();
    Halt();
    Forget();
    if (count == 0) {
        if (state_ == RunState::NotStarted) state_ = RunState::Halted;
        return;
    }
    pc_.reset();
    const std::string command = count == 1 ? "step" : "step " + std::to_string(count);
    if (count > kInlineStepLimit) {
        // Runs on like a continue; its answer comes when it is done.
        state_ = RunState::Running;
        stopRequested_ = false;
        Send({Expected{command, [this](const std::string& answer) { EndRun(answer, false); }, true}});
        return;
    }
    // Sent with whatever needs an answer next: the PC comes with it.
    Queue(command);
    stepDecidesPc_ = true;
    state_ = RunState::Halted;
}

bool S51Core::IsHalted() {
    PollRunState();
    return state_ == RunState::Halted;
}

bool S51Core::IsNotStarted() {
    PollRunState();
    return state_ == RunState::NotStarted;
}

bool S51Core::IsRunning() {
    PollRunState();
    return state_ == RunState::Running;
}

// ---- Memory ---------------------------------------------------------------------------

int32_t S51Core::MemorySpaceCount() { return kSpaceCount; }

std::string S51Core::MemorySpaceName(int32_t index) {
    return index >= 0 && index < kSpaceCount ? kSpaces[index].name : "";
}

uint32_t S51Core::TransferLimit(int32_t index) { return index >= 0 && index < kSpaceCount ? kTransferLimit : 0; }

S51Core::Expected S51Core::PageRequest(int32_t space, uint32_t first, uint32_t last) {
    const SpaceInfo& info = kSpaces[space];
    const uint32_t start = std::max(first * 256, info.base);
    const uint32_t end = std::min(last * 256 + 255, info.base + info.size - 1);
    const std::string command = "dump /h " + std::string(info.s51) + " " + Hex(start) + " " + Hex(end) + " 16";
    return Expected{command, [this, space, first, last, start, end, command](const std::string& answer) {
        static const std::regex line(R"(^0x([0-9a-fA-F]+)((?: [0-9a-fA-F]{2})+))");
        for (uint32_t page = first; page <= last; ++page) pages_[space][page].fill(0);
        uint32_t filled = 0;
        for (const std::string& text : Lines(answer)) {
            std::smatch m;
            if (!std::regex_search(text, m, line)) continue;
            const uint32_t at = static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16));
            if (at < start || at > end) continue;
            // Only as many bytes as the line holds: the text column after
            // them may look like more.
            const uint32_t count = std::min<uint32_t>(16, end - at + 1);
            std::istringstream bytes(m[2].str());
            for (uint32_t i = 0; i < count; ++i) {
                std::string hex;
                if (!(bytes >> hex)) break;
                pages_[space][(at + i) / 256][(at + i) % 256] = static_cast<uint8_t>(std::stoul(hex, nullptr, 16));
                ++filled;
            }
        }
        if (filled != end - start + 1) Fail("'" + command + "' gave " + std::to_string(filled) + " bytes");
    }};
}

const S51Core::Page& S51Core::CachedPage(int32_t space, uint32_t page) {
    const auto it = pages_[space].find(page);
    if (it != pages_[space].end()) return it->second;
    Send({PageRequest(space, page, page)});
    return pages_[space].at(page);
}

uint8_t S51Core::ByteAt(int32_t space, uint32_t address) { return CachedPage(space, address / 256)[address % 256]; }

void S51Core::Store(int32_t space, uint32_t address, const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const auto page = pages_[space].find((address + i) / 256);
        if (page != pages_[space].end()) page->second[(address + i) % 256] = bytes[i];
    }
    for (uint32_t done = 0; done < count; done += kBytesPerLine) {
        std::string command = "set memory " + std::string(kSpaces[space].s51) + " " + Hex(address + done);
        for (uint32_t i = done; i < std::min(count, done + kBytesPerLine); ++i) command += " " + std::to_string(bytes[i]);
        Queue(std::move(command));
    }
}

bool S51Core::ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) {
    if (index < 0 || index >= kSpaceCount) return false;
    if (count == 0) return true;
    const SpaceInfo& info = kSpaces[index];
    if (buffer == nullptr || address < info.base || address > info.base + info.size ||
        count > info.base + info.size - address)
        return false;
    CheckUsable();
    Lease lease(*this);
    const auto first = static_cast<uint32_t>(address / 256), last = static_cast<uint32_t>((address + count - 1) / 256);
    // The pages not yet known, in one dump.
    std::optional<uint32_t> from, to;
    for (uint32_t page = first; page <= last; ++page)
        if (!pages_[index].count(page)) {
            if (!from) from = page;
            to = page;
        }
    if (from) Send({PageRequest(index, *from, *to)});
    for (uint32_t i = 0; i < count; ++i) buffer[i] = ByteAt(index, static_cast<uint32_t>(address) + i);
    return true;
}

bool S51Core::WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) {
    if (index < 0 || index >= kSpaceCount) return false;
    if (count == 0) return true;
    const SpaceInfo& info = kSpaces[index];
    if (buffer == nullptr || address < info.base || address > info.base + info.size ||
        count > info.base + info.size - address)
        return false;
    CheckUsable();
    Lease lease(*this);
    std::vector<uint8_t> bytes(count);
    std::transform(buffer, buffer + count, bytes.begin(), [](uint32_t unit) { return static_cast<uint8_t>(unit); });
    Store(index, static_cast<uint32_t>(address), bytes.data(), count);
    return true;
}

bool S51Core::BeginDownload(int32_t index) {
    CheckUsable();
    return index >= 0 && index < kSpaceCount;
}

bool S51Core::EndDownload(int32_t index) {
    CheckUsable();
    if (index < 0 || index >= kSpaceCount) return false;
    Flush();
    return true;
}

// ---- Registers ---------------------------------------------------------------------------

int32_t S51Core::RegisterCount() { return kRegisterCount; }

std::string S51Core::RegisterName(int32_t index) {
    return index >= 0 && index < kRegisterCount ? kRegisterNames[index] : "";
}

int32_t S51Core::PcIndex() { return PC; }

uint32_t S51Core::ReadRegister(int32_t index) {
    if (index < 0 || index >= kRegisterCount) return 0;
    CheckUsable();
    Lease lease(*this);
    if (index == PC) {
        if (!pc_) Flush();  // a queued step's answer gives it
        if (!pc_) {
            Send({Expected{"pc", [this](const std::string& answer) {
                for (const std::string& line : Lines(answer))
                    if (line.rfind("0x", 0) == 0) {
                        pc_ = static_cast<uint32_t>(std::stoul(line.substr(2), nullptr, 16)) & 0xffff;
                        return;
                    }
            }}});
        }
        if (!pc_) Fail("s51 did not tell the PC");
        return *pc_;
    }
    // The SFRs and the register banks come together: one round trip.
    std::vector<Expected> requests;
    if (!pages_[kSfr].count(0)) requests.push_back(PageRequest(kSfr, 0, 0));
    if (!pages_[kIdata].count(0)) requests.push_back(PageRequest(kIdata, 0, 0));
    if (!requests.empty()) Send(std::move(requests));
    if (index >= R0) return ByteAt(kIdata, (ByteAt(kSfr, kPsw) & 0x18u) + static_cast<uint32_t>(index - R0));
    if (index == DPTR) return ByteAt(kSfr, 0x82) | ByteAt(kSfr, 0x83) << 8;
    return ByteAt(kSfr, kSfrOf[index]);
}

void S51Core::WriteRegister(int32_t index, uint32_t value) {
    if (index < 0 || index >= kRegisterCount) return;
    CheckUsable();
    Lease lease(*this);
    if (index == PC) {
        pc_ = value & 0xffff;
        Queue("pc " + Hex(*pc_));
        stepDecidesPc_ = false;
        return;
    }
    if (index >= R0) {
        const uint8_t byte = static_cast<uint8_t>(value);
        Store(kIdata, (ByteAt(kSfr, kPsw) & 0x18u) + static_cast<uint32_t>(index - R0), &byte, 1);
        return;
    }
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    Store(kSfr, kSfrOf[index], bytes, index == DPTR ? 2 : 1);
}

// ---- Breakpoints ----------------------------------------------------------------------------

std::optional<uint32_t> S51Core::BreakpointSpaceId() { return kBreakpointSpace; }

bool S51Core::HasBreakpoint(uint32_t spaceId, uint64_t address) {
    CheckUsable();
    return spaceId == kBreakpointSpace && address <= 0xffff && breakpoints_.count(static_cast<uint16_t>(address));
}

bool S51Core::AddBreakpoint(uint32_t spaceId, uint64_t address) {
    CheckUsable();
    if (spaceId != kBreakpointSpace || address > 0xffff) return false;
    if (!breakpoints_.insert(static_cast<uint16_t>(address)).second) return false;
    Lease lease(*this);
    Queue("break " + Hex(static_cast<uint32_t>(address)));
    return true;
}

void S51Core::RemoveBreakpoint(uint32_t spaceId, uint64_t address) {
    CheckUsable();
    if (spaceId != kBreakpointSpace || address > 0xffff || breakpoints_.erase(static_cast<uint16_t>(address)) == 0) return;
    Lease lease(*this);
    Queue("clear " + Hex(static_cast<uint32_t>(address)));
}

void S51Core::RemoveAllBreakpoints() {
    CheckUsable();
    if (breakpoints_.empty()) return;
    breakpoints_.clear();
    Lease lease(*this);
    Queue("delete");
}

}  // namespace sim
