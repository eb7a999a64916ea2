// The server's runs with watchpoints, and the semihosting console: a part of
// Server kept apart from the packet handlers. Resume hands a run over here
// when gdb has set a watchpoint (Z2, Z3, Z4):
//
//   one step per instruction, or per run of straight-line code without
//   memory accesses, through the run controller. Before each one the
//   watchpoints are checked (an instruction about to access a watched range:
//   T05watch:ADDR with the PC on it, see Watchpoints.h), after it a
//   breakpoint at the new PC (T05), and about every 20 ms the requests that
//   end a run (gdb's interrupt: T02). A bkpt 0xab is carried out as a
//   semihosting call in place of the step (the controller's Step).
//
// Semihosting output goes to the server's console and to gdb as O packets;
// SYS_READC and SYS_READ read the server's standard input.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tools/gdbserver/GdbServer.h"

namespace gdbserver {

namespace {

constexpr auto kInterruptCheck = std::chrono::milliseconds(20);

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
    std::optional<int> ReadChar() override { return server_.run_.ReadInputChar(); }

private:
    Server& server_;
};

void Server::EnableSemihosting(bool on) {
    semihosting_ = on;
    if (!console_) console_ = std::make_unique<SemihostingConsole>(*this);
    run_.options().semihosting = on ? &semihost_ : nullptr;
    run_.options().console = on ? console_.get() : nullptr;
}

Server::Reply Server::InsertWatchpoint(const Arguments& args) {
    // The accesses are found by decoding the board's instructions (Thumb,
    // PowerPC): on the other families gdb is told there are no watchpoints
    // (and watches by stepping).
    if (!watchpoints_.Supported()) return std::string();
    if (!watchpoints_.Insert(static_cast<WatchKind>(args.numbers[0]), args.numbers[1], args.numbers[2]))
        return std::string("E02");
    return std::string("OK");
}

Server::Reply Server::RemoveWatchpoint(const Arguments& args) {
    if (!watchpoints_.Supported()) return std::string();
    watchpoints_.Remove(static_cast<WatchKind>(args.numbers[0]), args.numbers[1], args.numbers[2]);
    return std::string("OK");
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
            if (run_.StopRequested()) return RunReply(run_.TakeRequest(), step);
            nextCheck = std::chrono::steady_clock::now() + kInterruptCheck;
        }
        const DecodedInstruction* instruction = watchpoints_.Before(*pc);
        if (auto hit = watchpoints_.AccessHit()) return WatchReply(*hit);
        if (instruction && instruction->trap && semihosting_) {
            // The controller carries the call out in place of the step.
            const RunResult call = run_.Step(1);
            ForgetTargetState();
            if (call.end != RunEnd::Stopped) return RunReply(call, step);
            *pc += 2;
            if (step) return StopReply(kSigTrap);
            continue;
        }
        // A breakpoint instruction of the program's own stops the run on it,
        // as a probe's core halts there (on QEMU's PowerPC a step would take
        // the program interrupt instead).
        if (instruction && instruction->breakpoint) return StopReply(kSigTrap);
        // Straight-line code without memory accesses goes in one step.
        const uint32_t count = step || single ? 1 : watchpoints_.StraightRun(*pc);
        const RunResult result = run_.Step(count);
        if (result.end != RunEnd::Stopped) return RunReply(result, step);
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
    std::snprintf(text, sizeof text, "T05%s:%08x;", name, hit.address);
    return text + StopFields();
}

std::optional<std::string> Server::SemihostingMonitor(const std::string& command) {
    // Only where the programs make the calls: elsewhere the command does not exist.
    if (command.rfind("arm semihosting", 0) != 0 || !target_.Board().arch.semihosting) return std::nullopt;
    const std::string rest = command.substr(std::string_view("arm semihosting").size());
    const auto first = rest.find_first_not_of(' ');
    const std::string word = first == std::string::npos ? std::string() : rest.substr(first);
    if (word == "enable") {
        if (!semihosting_) semihost_.Restart();
        EnableSemihosting(true);
    } else if (word == "disable") {
        EnableSemihosting(false);
    } else if (!word.empty()) {
        return "usage: monitor arm semihosting [enable|disable]\n";
    }
    return std::string("semihosting is ") + (semihosting_ ? "enabled" : "disabled") + "\n";
}

}  // namespace gdbserver
