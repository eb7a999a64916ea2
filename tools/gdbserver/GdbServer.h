// A GDB server over the module: gdb's remote serial protocol on a TCP
// socket, carried out through the Di* exports (see Target).
//
// One client at a time; everything, the poll callback included, runs on the
// thread that calls Serve.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/Semihosting.h"
#include "tools/gdbserver/Rsp.h"
#include "tools/gdbserver/Target.h"
#include "tools/gdbserver/Watchpoints.h"

namespace gdbserver {

inline constexpr std::size_t kPacketSize = 0x4000;  // what qSupported offers gdb

// The one-line target description and memory map that gdb reads.
std::string TargetDescription();
std::string MemoryMap();

class Server {
public:
    // The target must be open. log gets one line per client and warnings.
    Server(Target& target, std::ostream& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; port 0 takes any free port. False with a reason.
    bool Listen(const std::string& address, uint16_t port, std::string& error);
    uint16_t Port() const { return port_; }

    // Serves clients one after the other until shutdown becomes true. The
    // poll callback given to the target's Open must be Server::PollCallback.
    void Serve(const std::atomic<bool>& shutdown);

    static void DI_CDECL PollCallback();

    // bkpt 0xab calls carried out (--semihosting, monitor arm semihosting).
    void EnableSemihosting(bool on) { semihosting_ = on; }

    // ---- Packet handlers: typed arguments in, the reply out (none: send
    // nothing). Public so that the packet table can name them.
    using Reply = std::optional<std::string>;
    Reply HaltReason(const Arguments&);
    Reply ReadRegisters(const Arguments&);
    Reply WriteRegisters(const Arguments&);
    Reply ReadRegister(const Arguments&);
    Reply WriteRegister(const Arguments&);
    Reply ReadMemory(const Arguments&);
    Reply WriteMemory(const Arguments&);
    Reply InsertBreakpoint(const Arguments&);
    Reply RemoveBreakpoint(const Arguments&);
    Reply Continue(const Arguments&);
    Reply Step(const Arguments&);
    Reply ContinueActions(const Arguments&);
    Reply ContinueActionsSupported(const Arguments&);
    Reply Detach(const Arguments&);
    Reply Kill(const Arguments&);
    Reply Supported(const Arguments&);
    Reply StartNoAckMode(const Arguments&);
    Reply TransferRead(const Arguments&);
    Reply Attached(const Arguments&);
    Reply CurrentThread(const Arguments&);
    Reply FirstThreadInfo(const Arguments&);
    Reply NextThreadInfo(const Arguments&);
    Reply Ok(const Arguments&);
    Reply Monitor(const Arguments&);
    Reply FlashErase(const Arguments&);
    Reply FlashWrite(const Arguments&);
    Reply FlashDone(const Arguments&);

    // ---- Monitor commands: their output text.
    std::string MonitorReset();
    std::string MonitorHalt();
    std::string MonitorStatus();
    std::string MonitorHelp();

    // ---- Watchpoints and semihosting (RunFeatures.cpp).
    Reply InsertWatchpoint(const Arguments&);
    Reply RemoveWatchpoint(const Arguments&);
    // The output of a `monitor arm semihosting ...`; none for other commands.
    std::optional<std::string> SemihostingMonitor(const std::string& command);

private:
    enum class Phase { Halted, Running, Detaching };

    void ServeClient(int fd, const std::atomic<bool>& shutdown);
    void EndClient();
    void HandleEvent(RspEvent& event);
    void Dispatch(const std::string& payload);
    void Send(const std::string& payload);
    void SendRaw(const std::string& bytes);
    // Reads what the client sent; false when it has gone.
    bool Receive(int timeoutMs);
    void OnPoll();

    // Runs the core (step or continue) and gives the stop reply; none when
    // the client went away during the run.
    Reply Resume(bool step);
    std::string StopReply(uint32_t signal);
    void HaltIfRunning();
    const std::array<uint32_t, kRegisterCount>* Registers();
    // Everything read from the target is valid until the core moves or the
    // server writes; gdb reads the same code and stack words many times over
    // in one stop.
    void ForgetTargetState() {
        registers_.reset();
        memory_.clear();
    }
    std::vector<uint8_t> ReadMemoryCached(uint64_t address, uint32_t count);
    void RemoveAllBreakpoints();

    // ---- Runs with watchpoints or semihosting (RunFeatures.cpp).
    class SemihostingConsole;
    bool UsesRunFeatures() const { return semihosting_ || !watchpoints_.Empty(); }
    Reply ResumeWithFeatures(bool step);
    Reply SteppedRun(bool step);
    Reply SemihostedContinue();
    std::string WatchReply(const Watchpoints::Hit& hit);
    // None: the call was carried out, run on; otherwise the run's reply.
    std::optional<Reply> CarryOutSemihosting(uint32_t pc);
    // Reads the socket: true when gdb interrupted, went away, or the server
    // shuts down.
    bool InterruptPending();
    // The stop reply for an interrupt; none when the client is gone.
    Reply Interrupted();

    Target& target_;
    std::ostream& log_;
    int listenFd_ = -1;
    uint16_t port_ = 0;

    // The client.
    int clientFd_ = -1;
    bool clientGone_ = false;
    bool ackMode_ = true;
    std::string lastFrame_;
    RspDecoder decoder_{kPacketSize};
    std::vector<RspEvent> pending_;
    const std::atomic<bool>* shutdown_ = nullptr;

    // The run.
    Phase phase_ = Phase::Halted;
    bool interruptRequested_ = false;
    uint32_t lastSignal_ = 5;

    // The target as gdb left it.
    std::optional<std::array<uint32_t, kRegisterCount>> registers_;
    std::map<uint64_t, std::vector<uint8_t>> memory_;  // whole blocks of kMemoryBlock bytes, by address
    struct Breakpoint {
        uint32_t id;
        unsigned types;  // bit 0: Z0, bit 1: Z1
    };
    std::map<uint64_t, Breakpoint> breakpoints_;
    bool downloading_ = false;

    Watchpoints watchpoints_{target_};
    bool semihosting_ = false;
    semihosting::Executor semihost_;
};

}  // namespace gdbserver
