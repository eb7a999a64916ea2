// The server's runs with watchpoints or semihosting: a part of Server kept
// apart from the packet handlers. Resume hands a run over here when gdb has
// set a watchpoint (Z2, Z3, Z4) or semihosting is on.
//
//   watchpoints set, or a step:   one DiExecSingleStep per instruction. Before
//       each one the watchpoints are checked (an instruction about to access
//       a watched range: T05watch:ADDR with the PC on it, see Watchpoints.h),
//       after it a breakpoint at the new PC (T05), and about every 20 ms the
//       socket for gdb's interrupt (T02). A bkpt 0xab is carried out as a
//       semihosting call in place of the step.
//   a continue, semihosting only: DiExecContinue; a stop on a bkpt 0xab
//       (not a breakpoint) is carried out and the run continues.
//
// Semihosting output goes to the server's console and to gdb as O packets;
// SYS_READC and SYS_READ read the server's standard input. An exit (SYS_EXIT,
// SYS_EXIT_EXTENDED) ends the run with W (the exit code) or X06 (an
// abnormal reason), the core halted on its bkpt.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tools/gdbserver/GdbServer.h"

namespace gdbserver {

namespace {

constexpr auto kInterruptCheck = std::chrono::milliseconds(20);

class TargetMemory final : public semihosting::Memory {
public:
    explicit TargetMemory(Target& target) : target_(target) {}
    bool Read(uint32_t address, uint8_t* bytes, uint32_t count) override {
        const std::vector<uint8_t> read = target_.ReadMemory(address, count);
        if (read.size() != count) return false;
        std::copy(read.begin(), read.end(), bytes);
        return true;
    }
    bool Write(uint32_t address, const uint8_t* bytes, uint32_t count) override {
        return target_.WriteMemory(address, bytes, count);
    }

private:
    Target& target_;
};

}  // namespace

class Server::SemihostingConsole final : public semihosting::Console {
public:
    explicit SemihostingConsole(Server& server) : server_(server) {}
    void Output(std::string_view text, bool) override {
        server_.log_ << text << std::flush;
        // gdb prints O packets while it waits for a stop.
        constexpr std::size_t kPiece = kPacketSize / 2 - 4;
        for (std::size_t done = 0; done < text.size() && !server_.clientGone_; done += kPiece) {
            const std::string_view piece = text.substr(done, kPiece);
            server_.Send("O" + rsp::ToHex(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()));
        }
    }
    std::optional<int> ReadChar() override {
        for (;;) {
            if (server_.InterruptPending()) return std::nullopt;
            pollfd input{STDIN_FILENO, POLLIN, 0};
            const int ready = poll(&input, 1, 50);
            if (ready < 0) return -1;
            if (ready == 0) continue;
            unsigned char c;
            const ssize_t n = read(STDIN_FILENO, &c, 1);
            return n == 1 ? int(c) : -1;
        }
    }

private:
    Server& server_;
};

bool Server::InterruptPending() {
    const Phase saved = phase_;
    phase_ = Phase::Running;
    OnPoll();
    phase_ = saved;
    return interruptPending_ || clientGone_ || (shutdown_ && *shutdown_);
}

Server::Reply Server::Interrupted() {
    // The interrupt ends this run and no other.
    interruptPending_ = false;
    if (clientGone_ || (shutdown_ && *shutdown_)) {
        clientGone_ = true;
        return std::nullopt;
    }
    return StopReply(kSigInt);
}

Server::Reply Server::InsertWatchpoint(const Arguments& args) {
    // The accesses are found by decoding Thumb instructions: on the other
    // families gdb is told there are no watchpoints (and watches by stepping).
    if (!target_.Board().thumb) return std::string();
    if (!watchpoints_.Insert(static_cast<WatchKind>(args.numbers[0]), args.numbers[1], args.numbers[2]))
        return std::string("E02");
    return std::string("OK");
}

Server::Reply Server::RemoveWatchpoint(const Arguments& args) {
    if (!target_.Board().thumb) return std::string();
    watchpoints_.Remove(static_cast<WatchKind>(args.numbers[0]), args.numbers[1], args.numbers[2]);
    return std::string("OK");
}

Server::Reply Server::ResumeWithFeatures(bool step) {
    interruptPending_ = false;
    if (step || !watchpoints_.Empty()) return SteppedRun(step);
    return SemihostedContinue();
}

Server::Reply Server::SteppedRun(bool step) {
    watchpoints_.Begin();
    auto pc = target_.ReadRegister(target_.PcId());
    if (!pc) return kAccessFailed;
    auto nextCheck = std::chrono::steady_clock::now() + kInterruptCheck;
    bool single = false;  // the next step executes one instruction only
    for (uint64_t n = 0;; ++n) {
        if (n > 0 && breakpoints_.count(*pc)) return StopReply(kSigTrap);
        if ((n & 63) == 63 && std::chrono::steady_clock::now() >= nextCheck) {
            if (InterruptPending()) return Interrupted();
            nextCheck = std::chrono::steady_clock::now() + kInterruptCheck;
        }
        const DecodedInstruction* instruction = watchpoints_.Before(*pc);
        if (auto hit = watchpoints_.AccessHit()) return WatchReply(*hit);
        if (instruction && instruction->trap && semihosting_) {
            if (auto reply = CarryOutSemihosting(*pc)) return *reply;
            *pc += 2;
            if (step) return StopReply(kSigTrap);
            continue;
        }
        phase_ = Phase::Running;
        // Straight-line code without memory accesses goes in one step.
        const uint32_t count = step || single ? 1 : watchpoints_.StraightRun(*pc);
        const RunOutcome outcome = target_.Step(count);
        phase_ = Phase::Halted;
        if (outcome == RunOutcome::Cancelled) {
            target_.Stop();
            return Interrupted();
        }
        if (outcome == RunOutcome::Failed) return FailedRun(step);
        const auto next = target_.ReadRegister(target_.PcId());
        if (!next) return kAccessFailed;
        if (*next == *pc && count > 1) {
            // Round a loop, or stuck on the first instruction: one at a time
            // tells which.
            single = true;
            if (auto hit = watchpoints_.After()) return WatchReply(*hit);
            continue;
        }
        if (*next == *pc && !(instruction && instruction->selfBranch)) {
            // The core could not execute the instruction: a bkpt, or a fault.
            return StopReply(instruction && (instruction->breakpoint || instruction->trap) ? kSigTrap : kSigSegv);
        }
        single = false;
        pc = next;
        if (auto hit = watchpoints_.After()) return WatchReply(*hit);
        if (step) return StopReply(kSigTrap);
    }
}

std::string Server::WatchReply(const Watchpoints::Hit& hit) {
    lastSignal_ = kSigTrap;
    const char* name = hit.kind == WatchKind::Write ? "watch" : hit.kind == WatchKind::Read ? "rwatch" : "awatch";
    char text[64];
    std::snprintf(text, sizeof text, "T05%s:%08x;thread:1;", name, hit.address);
    return text;
}

Server::Reply Server::SemihostedContinue() {
    // Set once the core has run and stopped by itself (not at a breakpoint):
    // on anything but a call, that is a fault.
    bool stopped = false;
    for (;;) {
        // A call under the PC is carried out here: the module's continue
        // would fail to step off a bkpt.
        const auto pc = target_.ReadRegister(target_.PcId());
        if (!pc) return kAccessFailed;
        if (AtSemihostingCall(*pc)) {
            if (auto reply = CarryOutSemihosting(*pc)) return *reply;
            // The module's continue steps off the PC with any breakpoint
            // there lifted: one right after the call must stop here.
            if (breakpoints_.count(*pc + 2)) return StopReply(kSigTrap);
            if (InterruptPending()) return Interrupted();
            stopped = false;
            continue;
        }
        if (stopped) return StopReply(FaultSignal());
        phase_ = Phase::Running;
        const RunOutcome outcome = target_.Continue();
        phase_ = Phase::Halted;
        ForgetTargetState();
        if (outcome == RunOutcome::Cancelled) {
            target_.Stop();
            return Interrupted();
        }
        if (outcome == RunOutcome::Failed) return FailedRun(false);
        const auto status = target_.Status();
        if (status && status->cause == kCauseBreakpoint) return StopReply(kSigTrap);
        stopped = true;
    }
}

bool Server::AtSemihostingCall(uint32_t pc) {
    const std::vector<uint8_t> code = target_.ReadMemory(pc, 2);
    return code.size() == 2 && (code[0] | code[1] << 8) == semihosting::kTrapInstruction;
}

std::optional<Server::Reply> Server::CarryOutSemihosting(uint32_t pc) {
    const auto operation = target_.ReadRegister(0), parameter = target_.ReadRegister(1);
    if (!operation || !parameter) return Reply(kAccessFailed);
    TargetMemory memory(target_);
    SemihostingConsole console(*this);
    const semihosting::Outcome outcome = semihost_.Execute(*operation, *parameter, memory, console);
    ForgetTargetState();
    switch (outcome.kind) {
        case semihosting::Outcome::Resume:
            target_.WriteRegister(0, outcome.result);
            target_.WriteRegister(target_.PcId(), pc + 2);
            ForgetTargetState();
            return std::nullopt;
        case semihosting::Outcome::Interrupted: return Interrupted();
        case semihosting::Outcome::Exit: break;
    }
    lastSignal_ = kSigTrap;
    char text[16];
    if (outcome.normal) {
        log_ << "semihosting: the program exited with code " << outcome.exitCode << std::endl;
        std::snprintf(text, sizeof text, "W%02x", outcome.exitCode & 0xFF);
    } else {
        log_ << "semihosting: the program stopped with reason 0x" << std::hex << outcome.exitCode << std::dec
             << std::endl;
        std::snprintf(text, sizeof text, "X%02x", kSigAbrt);
    }
    return Reply(std::string(text));
}

std::optional<std::string> Server::SemihostingMonitor(const std::string& command) {
    if (command.rfind("arm semihosting", 0) != 0) return std::nullopt;
    const std::string rest = command.substr(std::string_view("arm semihosting").size());
    const auto first = rest.find_first_not_of(' ');
    const std::string word = first == std::string::npos ? std::string() : rest.substr(first);
    if (word == "enable") {
        if (!target_.Board().thumb) return std::string("semihosting: ARM boards only\n");
        if (!semihosting_) semihost_.Restart();
        semihosting_ = true;
    } else if (word == "disable") {
        semihosting_ = false;
    } else if (!word.empty()) {
        return "usage: monitor arm semihosting [enable|disable]\n";
    }
    return std::string("semihosting is ") + (semihosting_ ? "enabled" : "disabled") + "\n";
}

}  // namespace gdbserver
