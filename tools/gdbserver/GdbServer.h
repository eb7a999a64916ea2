// A GDB server over the module: gdb's remote serial protocol on a TCP
// socket, carried out through the Di* exports (see Target).
//
// One client at a time; everything, the poll callback included, runs on the
// thread that calls Serve.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/Semihosting.h"
#include "tools/common/Rsp.h"
#include "tools/common/RunController.h"
#include "tools/common/Target.h"
#include "tools/gdbserver/FreeRtos.h"
#include "tools/gdbserver/Packets.h"
#include "tools/gdbserver/Watchpoints.h"

namespace gdbserver {

using frontend::kCauseBreakpoint;
using frontend::kCauseRunning;
using frontend::kCauseUnknown;
using frontend::RegisterSlot;
using frontend::RunController;
using frontend::RunEnd;
using frontend::RunResult;

inline constexpr std::size_t kPacketSize = 0x4000;  // what qSupported offers gdb

// Signals in stop replies, the module's stop causes the server tells apart,
// and the reply to an access the target refused: shared by the packet
// handlers and the runs with watchpoints or semihosting.
inline constexpr uint32_t kSigInt = 2;
inline constexpr uint32_t kSigTrap = 5;
inline constexpr uint32_t kSigAbrt = 6;
inline constexpr uint32_t kSigSegv = 11;
inline constexpr char kAccessFailed[] = "E0e";
// A register write to a task that does not run: its registers are on its
// stack, where the kernel restores them from, and are not written.
inline constexpr char kTaskNotRunning[] = "E0d";

// The one-line target description and memory map that gdb reads.
std::string TargetDescription(const sim::Board& board);
std::string MemoryMap(const sim::Board& board);

struct ServerOptions {
    std::string image;            // reloaded by a restart (vRun, R); empty: none
    int sendTimeoutMs = 5000;     // a client that takes no byte for this long is dropped
    std::size_t maxQueued = 64;   // packets kept while the core runs; more are dropped
    // Told before every run whether its steps should let the target's
    // interrupts and timers run: yes for a continue watched by stepping, no
    // for gdb's own steps, which stay on the program's instructions.
    std::function<void(bool)> stepsTakeInterrupts;
    // Why the engine behind the core is gone (empty while it is fine): a run
    // it ends tells gdb the program was killed, the log says why, and the
    // server serves no other client.
    std::function<std::string()> targetFailure;
    // FreeRTOS's tasks as threads, its symbols asked of gdb (--rtos auto);
    // false: one thread, whatever runs (--rtos none).
    bool rtos = true;
};

class Server {
public:
    // The target must be open. log gets one line per client and warnings.
    Server(Target& target, std::ostream& log, ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; port 0 takes any free port. False with a reason.
    bool Listen(const std::string& address, uint16_t port, std::string& error);
    uint16_t Port() const { return port_; }

    // Serves clients one after the other until shutdown becomes true or
    // the target is lost. The poll callback given to the target's Open must
    // be RunController::PollCallback.
    void Serve(const std::atomic<bool>& shutdown);

    // Why the target was lost during a run; empty while it is fine.
    const std::string& TargetLost() const { return targetLost_; }

    // bkpt 0xab calls carried out (--semihosting, monitor arm semihosting).
    void EnableSemihosting(bool on);
    // The directory whose files the program's SYS_OPEN opens (empty: none).
    bool SemihostingFiles(const std::string& directory, bool writable) {
        return semihost_.SetFileDirectory(directory, writable);
    }

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
    Reply ContinueWithSignal(const Arguments&);
    Reply StepWithSignal(const Arguments&);
    Reply ContinueActions(const Arguments&);
    Reply ContinueActionsSupported(const Arguments&);
    Reply Detach(const Arguments&);
    Reply Kill(const Arguments&);
    Reply KillProcess(const Arguments&);
    Reply ExtendedMode(const Arguments&);
    Reply Restart(const Arguments&);
    Reply Run(const Arguments&);
    Reply Attach(const Arguments&);
    Reply Supported(const Arguments&);
    Reply StartNoAckMode(const Arguments&);
    Reply TransferRead(const Arguments&);
    Reply Attached(const Arguments&);
    Reply CurrentThread(const Arguments&);
    Reply FirstThreadInfo(const Arguments&);
    Reply NextThreadInfo(const Arguments&);
    Reply ThreadAlive(const Arguments&);
    Reply SetThread(const Arguments&);
    Reply ThreadExtraInfo(const Arguments&);
    Reply Symbol(const Arguments&);
    Reply Ok(const Arguments&);
    Reply Monitor(const Arguments&);
    Reply FlashErase(const Arguments&);
    Reply FlashWrite(const Arguments&);
    Reply FlashDone(const Arguments&);

    // ---- Monitor commands: their output, and whether they succeeded (a
    // failure becomes an error reply after the output).
    struct MonitorResult {
        bool ok;
        std::string text;
    };
    MonitorResult MonitorReset();
    MonitorResult MonitorResetRun();
    MonitorResult MonitorHalt();
    MonitorResult MonitorResume();
    MonitorResult MonitorStatus();
    MonitorResult MonitorHelp();

    // ---- Watchpoints and semihosting (RunFeatures.cpp).
    Reply InsertWatchpoint(const Arguments&);
    Reply RemoveWatchpoint(const Arguments&);
    // The output of a `monitor arm semihosting ...`; none for other commands.
    std::optional<std::string> SemihostingMonitor(const std::string& command);

private:
    void ServeClient(int fd, const std::atomic<bool>& shutdown);
    void EndClient();
    void HandleEvent(const rsp::Event& event);
    void Dispatch(const std::string& payload);
    void Send(const std::string& payload);
    void SendRaw(const std::string& bytes);
    bool ShuttingDown() const { return shutdown_ && *shutdown_; }
    // Reads what the client sent, waiting up to timeoutMs for the first
    // byte; false when it has gone.
    bool Receive(int timeoutMs);
    void Queue(rsp::Event&& event);
    // At every poll of a run: reads the socket; the client gone or the
    // server shutting down end the run.
    void OnPoll();

    enum class RunKind { Continue, Step };
    // Runs the core and gives the stop reply; none when the client went away
    // or the server is shutting down during the run.
    Reply Resume(RunKind kind);
    // Lets the core run on with no client waiting for it (detach, monitor
    // resume): a continue that the first poll gives up.
    void Release();
    // The signal for a core that stopped where it cannot go on: SIGTRAP on
    // a bkpt instruction, SIGSEGV otherwise.
    uint32_t FaultSignal();
    // The stop reply for how a run ended; none when the client is gone or
    // the server shuts down. A step that faulted answers SIGSEGV even on a
    // bkpt: gdb takes a SIGTRAP with the pc still inside the line it steps
    // as a step done and steps again, for ever.
    Reply RunReply(const RunResult& result, bool step);
    void NoteSignal(uint64_t signal);
    std::string StopReply(uint32_t signal);
    void HaltIfRunning();
    // Resets the core, the image downloaded again first when there is one;
    // gdb's breakpoints are gone. False with a reason.
    bool RestartProgram(std::string& error);
    // Every register, in the order of target_.Slots(); null when one cannot
    // be read.
    const std::vector<uint32_t>* Registers();
    // One register of the core by its place in target_.Slots().
    std::optional<uint32_t> RegisterInSlot(std::size_t slot);
    // The architecture's expedited registers as a stop reply gives them.
    std::string ExpeditedRegisters();
    std::optional<uint32_t> Pc();
    // Everything read from the target is valid until the core moves or the
    // server writes; gdb reads the same code and stack words many times over
    // in one stop.
    void ForgetTargetState() {
        registers_.reset();
        registerReads_.clear();
        memory_.clear();
        ForgetTasks();
    }
    std::vector<uint8_t> ReadMemoryCached(uint64_t address, uint32_t count);
    void RemoveAllBreakpoints();
    bool StartDownload();
    bool FinishFlash();

    // ---- Runs with watchpoints, the semihosting console (RunFeatures.cpp).
    class SemihostingConsole;
    Reply SteppedRun(bool step);
    std::string WatchReply(const Watchpoints::Hit& hit);

    // ---- FreeRTOS's tasks as threads (Threads.cpp). Without them (before
    // the scheduler runs, without the kernel's symbols, --rtos none) there
    // is one thread, 1: the core.
    void ForgetTasks() {
        tasks_.reset();
        tasksRead_ = false;
        threadRegisters_.reset();
    }
    // The tasks at this stop; null when there is no task view.
    const freertos::Snapshot* Tasks();
    // The thread the core runs: the running task, or 1.
    uint32_t CurrentThreadId();
    // What a stop reply says after its signal: "thread:ID;", which makes
    // that thread gdb's selected one again (Hg), as gdb assumes; then the
    // architecture's expedited registers ("NN:value;"), with which gdb finds
    // the stopped frame without reading every register.
    std::string StopFields();
    // The registers of the thread gdb selected (Hg), in the order of
    // target_.Slots(): the core's, or those a task that does not run left
    // on its stack; null when they cannot be read.
    const std::vector<uint32_t>* ThreadRegisters();
    // gdb selected a task that does not run: its registers are not the core's.
    bool OtherTaskSelected();

    Target& target_;
    std::ostream& log_;
    ServerOptions options_;
    int listenFd_ = -1;
    uint16_t port_ = 0;

    // The client.
    int clientFd_ = -1;
    bool clientGone_ = false;
    bool ackMode_ = true;
    bool extended_ = false;  // '!' seen: the connection outlives a detach
    bool attached_ = true;   // false after a detach in extended mode, until vAttach or vRun
    std::string lastFrame_;
    rsp::Decoder decoder_{kPacketSize};
    std::deque<rsp::Event> pending_;  // read, not handled yet; at most options_.maxQueued packets
    std::size_t dropped_ = 0;       // packets that found the queue full
    bool signalNoted_ = false;      // the console was told once that C/S signals are not delivered
    const std::atomic<bool>* shutdown_ = nullptr;

    // The run and every way to end it. An interrupt (0x03) that arrives
    // while the core is halted stops the next resume at once; one that
    // arrives during a run ends that run and no other.
    RunController run_;
    bool polling_ = false;  // reading the socket from a run's poll
    std::string targetLost_;
    uint32_t lastSignal_ = 5;

    // The target as gdb left it.
    std::optional<std::vector<uint32_t>> registers_;
    std::map<std::size_t, uint32_t> registerReads_;  // single registers read since, by slot
    std::map<uint64_t, std::vector<uint8_t>> memory_;  // whole blocks of kMemoryBlock bytes, by address
    struct Breakpoint {
        uint32_t id;
        unsigned types;  // bit 0: Z0, bit 1: Z1
    };
    std::map<uint64_t, Breakpoint> breakpoints_;

    // gdb's flash load: erase, write, done. Erased bytes that no write
    // covers become 0xFF when the load is done, in the same download.
    bool downloading_ = false;
    std::map<uint64_t, uint64_t> erased_;   // start -> end, disjoint
    std::map<uint64_t, uint64_t> written_;  // start -> end, disjoint

    Watchpoints watchpoints_{target_};
    bool semihosting_ = false;
    semihosting::Executor semihost_;
    std::unique_ptr<semihosting::Console> console_;

    freertos::Kernel rtos_;
    std::optional<freertos::Snapshot> tasks_;
    bool tasksRead_ = false;
    std::optional<uint32_t> generalThread_;  // Hg; none: the current thread
    std::optional<std::vector<uint32_t>> threadRegisters_;
};

}  // namespace gdbserver
