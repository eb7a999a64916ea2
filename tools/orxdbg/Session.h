// One debug session through the module's exports: what the commands do.
//
// The session calls the Di* functions on the thread that runs it (the
// front-end thread) and prints what it learns to an output stream, and its
// errors, as "error: ...", to an error stream. Every Di* result other than 0
// is reported with its name and a message; the methods then return false.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Boards.h"
#include "tools/common/DiModule.h"
#include "tools/common/RunController.h"
#include "tools/common/Target.h"
#include "tools/common/Semihosting.h"
#include "tools/orxdbg/Image.h"

namespace orxdbg {

// A register as the session names it: its name and its GDI id (its index in
// the board's register table).
struct RegisterInfo {
    const char* name;
    int32_t id;
};
// The one memory space that covers the whole bus.
inline constexpr const char* kMemorySpaceName = "MEMORY";
inline constexpr uint32_t kMemorySpaceId = 0;

// The board the tool debugs (--target): its architecture (family,
// registers, breakpoints) and memory spaces. The default is the in-process
// Cortex-M.
void SetCurrentBoard(const sim::Board& board);
const sim::Board& CurrentBoard();
// The GDI ids of the current board's PC, SP, link and status registers (-1:
// the board has none).
int32_t PcId();
int32_t SpId();
int32_t LrId();
int32_t StatusId();

// Register id for a name or one of the architecture's aliases, ignoring case
// (R13..R15 name SP, LR and PC on ARM); none for an unknown name.
std::optional<int32_t> RegisterIdFor(std::string_view name);
const char* RegisterName(int32_t id);
// The names completion offers: the board's registers, then its aliases.
std::vector<std::string> RegisterNames();
// The board's register names for messages, a run of numbered ones
// shortened: "R0..R15, SP, LR, PC, XPSR".
std::string RegisterList();

// Largest download block the module takes, and the largest piece the session
// asks for in one memory read or write.
inline constexpr uint32_t kDownloadBlockBytes = 1024;
inline constexpr uint32_t kTransferValues = 1024;

std::string CauseText(uint32_t cause);
// "GdiFailed" for 7; "status 9" for codes the interface does not define.
std::string StatusName(uint32_t status);
// "0x000000a4": every address the tool shows has eight digits.
std::string Hex32(uint32_t value);

// An address argument: a number, or a symbol (its text kept for display),
// in a memory space (the board's id; 0 unless written SPACE:ADDR or the
// symbol lies elsewhere).
struct Location {
    uint32_t address = 0;
    std::string symbol;
    uint32_t space = 0;
};

// x/NFU: N units of U bytes (1, 2 or 4) shown as F ('x' hexadecimal, 'd'
// signed or 'u' unsigned decimal).
struct ExamineFormat {
    uint32_t count = 1;
    char format = 'x';
    uint32_t unit = 4;
};

// The module's stop status (the message without its trailing line break).
using StopStatus = frontend::TargetStatus;

// A breakpoint as the user knows it: numbered from 1 in the order set.
struct BreakpointInfo {
    uint32_t number = 0;  // 0: the session's own (finish), not listed
    uint32_t id = 0;      // the module's id
    uint32_t address = 0;
    uint32_t hits = 0;
};

struct SessionOptions {
    std::string frontEndPath = sim::DefaultBoard().arch.frontEndPath;  // selects the processor family (the board's)
    std::string designator = sim::DefaultBoard().arch.designator;
    bool terminal = false;  // output is a terminal: progress bar, interrupt hint
    // Runs and steps longer than this are cancelled and halted (0: no limit).
    double timeoutSeconds = 0;
    // The module's run-wait poll period, handed to it before the open; with
    // pollAdaptive the ceiling of its adaptive wait (short sleeps first,
    // doubling while the processor runs), else the fixed period.
    uint32_t pollMs = 10;
    // Why the host lost its target, if it did (empty otherwise): shown once
    // before the errors it causes.
    std::function<std::string()> hostDiagnostics;
    bool pollAdaptive = true;
    // Carry out the program's semihosting calls (bkpt 0xab) during continue,
    // finish and step: output to out, input from standard input.
    bool semihosting = false;
    // The directory whose files the program's SYS_OPEN opens (empty: none),
    // and whether it may write to them.
    std::string semihostingDirectory;
    bool semihostingWritable = false;
};

// Hands the poll period and the adaptive wait to the module through its
// environment variables; they take effect at the next DiGdiOpen.
void SetModulePollPeriod(uint32_t milliseconds, bool adaptive);

class Session {
public:
    // The module must be loaded and stay loaded while the session lives.
    // Results go to out, errors ("error: ...") to err.
    Session(frontend::DiModule& module, std::ostream& out, std::ostream& err, SessionOptions options = {});
    Session(frontend::DiModule& module, std::ostream& out, SessionOptions options = {})
        : Session(module, out, out, std::move(options)) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The code the program last exited with through semihosting (a normal
    // exit); none before any exit.
    std::optional<uint32_t> ProgramExitCode() const { return programExitCode_; }

    // ---- Commands: print their outcome; false when something failed.
    // Open also sends the maps and checks that the processor answers.
    bool Open(const std::optional<std::string>& path, const std::optional<std::string>& designator);
    bool SendMaps();
    bool Load(const std::string& file);
    bool Break(const Location& location);
    // One breakpoint by its number, or all of them.
    bool Delete(std::optional<uint32_t> number);
    bool InfoBreakpoints();
    bool Continue();
    bool Finish();
    bool Step(uint32_t count);
    bool Stop();
    bool Reset();
    bool ShowStatus();
    bool ShowRegisters(std::optional<int32_t> only = std::nullopt);
    bool DumpMemory(const Location& location, uint32_t count);
    bool ShowWords(const Location& location, std::optional<uint32_t> count);
    bool Examine(const Location& location, const ExamineFormat& format);
    bool DumpToFile(const std::string& file, const Location& location, uint32_t length);
    bool Disassemble(const std::optional<Location>& location, std::optional<uint32_t> count);
    bool WriteMemory(const Location& location, const std::vector<uint8_t>& bytes);
    bool WriteRegister(int32_t id, uint32_t value);
    bool Close();

    // ---- Target access, through the exports; failures are printed.
    std::optional<StopStatus> QueryStatus();
    std::optional<uint32_t> ReadRegister(int32_t id);
    std::optional<std::vector<uint8_t>> ReadMemory(uint32_t address, uint32_t count, uint32_t space = 0);

    bool IsOpen() const { return open_; }
    const SymbolTable& Symbols() const { return symbols_; }
    const std::vector<BreakpointInfo>& Breakpoints() const { return breakpoints_; }
    std::ostream& Out() { return out_; }
    // Starts an error line: "error: ".
    std::ostream& Error();
    // "0x000000a4 <compute_table>", or the bare number without a symbol;
    // in a memory space other than the board's first, the space's name
    // comes first: "XDATA:0x00000001 <xdata_table>".
    std::string DescribeAddress(uint32_t address, uint32_t space = 0) const;

    // What Ctrl-C does: async-signal-safe. During a run the next poll
    // cancels the wait and the session halts the processor.
    static void Interrupt();
    // What SIGTERM does: async-signal-safe. Interrupts as Ctrl-C does, and
    // for good: the program is to end once the processor is halted.
    static void Terminate();
    static bool Terminating();
    // True once when a run was interrupted since the last call.
    bool TakeInterrupted() { return interruptedRun_.exchange(false); }
    // Called on the waiting thread at every poll of a run wait, before the
    // interrupt is looked at.
    std::function<void()> onPoll;

private:
    enum class RunKind { Continue, Step };
    class SemihostingConsole;

    // Writes a register through the module and reads it back; errors printed.
    bool SetRegister(int32_t id, uint32_t value);
    // Prints a non-zero result; true when the result is 0.
    bool Check(const char* function, uint32_t result);
    // One continue or step through the run controller, Ctrl-C and the
    // timeout watched; shows how it ended. verb names the command in its
    // errors ("continue", "step", "finish").
    bool Run(RunKind kind, uint32_t count, const char* verb = nullptr);
    void PrintStatus(const StopStatus& status);
    // The instruction at the PC, as disassembled: "=> 0x000000a4 <main>:  push {r7, lr}".
    void ShowPcInstruction();
    bool CheckRange(uint32_t address, uint64_t length);
    BreakpointInfo* FindBreakpoint(uint32_t id);
    void ShowProgress(std::size_t done, std::size_t total);
    bool WriteBlock(uint32_t address, const uint8_t* data, uint32_t length, uint32_t space = 0);
    // Reads up to count bytes from address on, appending them; how many
    // were read (0: the first is refused), none when the call failed.
    std::optional<uint32_t> ReadAvailable(uint32_t address, uint32_t count, std::vector<uint8_t>& bytes,
                                          uint32_t space = 0);

    frontend::DiModule& module_;
    std::ostream& out_;
    std::ostream& err_;
    SessionOptions options_;
    bool open_ = false;
    SymbolTable symbols_;
    std::vector<BreakpointInfo> breakpoints_;
    uint32_t nextBreakpoint_ = 1;
    std::optional<uint32_t> entry_;  // of the image loaded last
    std::atomic<bool> interruptedRun_{false};
    bool firstPoll_ = false;
    std::string shownDiagnostic_;
    semihosting::Executor semihost_;
    std::unique_ptr<semihosting::Console> console_;
    std::optional<uint32_t> programExitCode_;
    frontend::Target target_;
    frontend::RunController run_;
};

}  // namespace orxdbg
