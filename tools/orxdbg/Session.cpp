#include "tools/orxdbg/Session.h"

#include <capstone/capstone.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "gdi/GdiRecords.h"
#include "tools/orxdbg/Mcs51Disassembler.h"

#include <z80ex/z80ex_dasm.h>

namespace orxdbg {

using namespace gdi;

// ---- Names -----------------------------------------------------------------

std::optional<int32_t> RegisterIdFor(std::string_view name) { return CurrentBoard().arch.FindRegister(name); }

std::string RegisterList() {
    const std::vector<std::string> names = RegisterNames();
    // The numbered ones R0..Rn as a range, the others as they come.
    auto number = [](const std::string& name) -> int {
        if (name.size() < 2 || (name[0] != 'R' && name[0] != 'r')) return -1;
        for (std::size_t i = 1; i < name.size(); ++i)
            if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        return std::atoi(name.c_str() + 1);
    };
    int highest = -1;
    for (bool grew = true; grew;) {
        grew = false;
        for (const std::string& name : names)
            if (number(name) == highest + 1) {
                ++highest;
                grew = true;
            }
    }
    std::string list = highest >= 1 ? "R0..R" + std::to_string(highest) : "";
    for (const std::string& name : names) {
        const int n = number(name);
        if (n >= 0 && n <= highest && highest >= 1) continue;
        list += (list.empty() ? "" : ", ") + name;
    }
    return list;
}

const char* RegisterName(int32_t id) {
    const auto& registers = CurrentBoard().arch.registers;
    return id >= 0 && static_cast<std::size_t>(id) < registers.size() ? registers[static_cast<std::size_t>(id)].name : "?";
}

std::vector<std::string> RegisterNames() {
    std::vector<std::string> names;
    for (const sim::BoardRegister& r : CurrentBoard().arch.registers) names.emplace_back(r.name);
    for (const sim::RegisterAlias& alias : CurrentBoard().arch.aliases) names.emplace_back(alias.name);
    return names;
}

std::string CauseText(uint32_t cause) {
    switch (cause) {
        case CauseRunning: return "running";
        case CauseSingleStep: return "single step";
        case CauseBreakpoint: return "breakpoint";
        case CauseHalted: return "halted";
        case CauseStopped: return "stopped";
        case CauseUnknownState: return "unknown state";
        default: return "cause " + std::to_string(cause);
    }
}

std::string StatusName(uint32_t status) {
    switch (status) {
        case GdiOk: return "GdiOk";
        case GdiNotSupported: return "GdiNotSupported";
        case GdiDownloadFailed: return "GdiDownloadFailed";
        case GdiFailed: return "GdiFailed";
        default: return "status " + std::to_string(status);
    }
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

void SetModulePollPeriod(uint32_t milliseconds, bool adaptive) {
    platform::SetEnvironmentValue("DIORX_POLL_MS", std::to_string(milliseconds).c_str());
    platform::SetEnvironmentValue("DIORX_POLL_ADAPTIVE", adaptive ? "1" : nullptr);
}

namespace {

// ---- Records ---------------------------------------------------------------

GdiAddress Address(uint32_t address, uint32_t space = kMemorySpaceId) {
    GdiAddress a;
    std::memset(&a, 0, sizeof a);
    StoreLE32(a.spaceId, space);
    for (int i = 0; i < 4; ++i) a.address[4 + i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    return a;
}

const char* TextAt(const uint8_t* field) {
    const char* text;
    std::memcpy(&text, field, sizeof text);
    return text;
}

// ---- Ctrl-C ------------------------------------------------------------------

std::atomic<bool> g_terminating{false};  // sticky: the program is asked to end
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterruptSignal(int) { Session::Interrupt(); }

// While a run waits, Ctrl-C asks the run controller to end it. The earlier
// handler comes back afterwards.
class InterruptScope {
public:
    InterruptScope() {
        struct sigaction action {};
        action.sa_handler = &OnInterruptSignal;
        sigemptyset(&action.sa_mask);
        installed_ = sigaction(SIGINT, &action, &previous_) == 0;
    }
    ~InterruptScope() {
        if (installed_) sigaction(SIGINT, &previous_, nullptr);
    }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

// The board's code: Thumb for an M-profile core and 32-bit PowerPC through
// Capstone, Z80 through libz80ex's disassembler, 8051 through orxdbg's own;
// MicroBlaze and Nios II words are shown as they are.
class Disassembler {
public:
    Disassembler() {
        const sim::Board& board = CurrentBoard();
        kind_ = board.kind;
        if (board.arch.instructionSet == sim::InstructionSet::Thumb)
            ok_ = cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle_) == CS_ERR_OK;
        else if (board.arch.instructionSet == sim::InstructionSet::PowerPC)
            ok_ = cs_open(CS_ARCH_PPC, static_cast<cs_mode>(CS_MODE_32 | CS_MODE_BIG_ENDIAN), &handle_) == CS_ERR_OK;
        bigEndian_ = board.arch.bigEndian;
    }
    ~Disassembler() {
        if (ok_) cs_close(&handle_);
    }
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    struct Line {
        uint32_t address;
        uint32_t size;
        std::string text;  // "push\t{r4, lr}"
    };
    // Up to max instructions (0: as many as the bytes hold) from the start.
    std::vector<Line> Decode(const std::vector<uint8_t>& bytes, uint32_t address, std::size_t max) const {
        if (kind_ == sim::CoreKind::Z80) return DecodeZ80(bytes, address, max);
        if (kind_ == sim::CoreKind::S51) return Decode8051(bytes, address, max);
        std::vector<Line> lines;
        if (!ok_) {
            // Fixed 32-bit instructions, shown as words.
            for (std::size_t at = 0; at + 4 <= bytes.size() && (max == 0 || lines.size() < max); at += 4) {
                const uint8_t* b = bytes.data() + at;
                const uint32_t word = bigEndian_ ? uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]
                                                 : uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
                lines.push_back({address + static_cast<uint32_t>(at), 4, ".word\t" + Hex32(word)});
            }
            return lines;
        }
        if (bytes.empty()) return lines;
        cs_insn* insn = nullptr;
        const std::size_t n = cs_disasm(handle_, bytes.data(), bytes.size(), address, max, &insn);
        for (std::size_t i = 0; i < n; ++i) {
            std::string text = insn[i].mnemonic;
            if (insn[i].op_str[0]) text += std::string("\t") + insn[i].op_str;
            lines.push_back({static_cast<uint32_t>(insn[i].address), insn[i].size, std::move(text)});
        }
        if (insn) cs_free(insn, n);
        return lines;
    }

private:
    struct Z80Bytes {
        const std::vector<uint8_t>* bytes;
        uint32_t start;
    };
    static Z80EX_BYTE ReadZ80Byte(Z80EX_WORD address, void* user) {
        const auto* code = static_cast<const Z80Bytes*>(user);
        const uint32_t offset = static_cast<uint16_t>(address - code->start);
        return offset < code->bytes->size() ? (*code->bytes)[offset] : 0;
    }
    // Whole instructions only: one that runs past the bytes read is left out.
    static std::vector<Line> DecodeZ80(const std::vector<uint8_t>& bytes, uint32_t address, std::size_t max) {
        std::vector<Line> lines;
        Z80Bytes code{&bytes, address};
        for (std::size_t at = 0; at < bytes.size() && (max == 0 || lines.size() < max);) {
            char text[64];
            int states = 0, states2 = 0;
            const int size = z80ex_dasm(text, sizeof text, 0, &states, &states2, &ReadZ80Byte,
                                        static_cast<Z80EX_WORD>(address + at), &code);
            if (size <= 0 || at + static_cast<std::size_t>(size) > bytes.size()) break;
            // "LD BC,(#8014)" becomes "ld\tbc, (0x8014)".
            std::string line;
            bool first = true;
            for (const char* c = text; *c; ++c) {
                if (*c == ' ' && first) {
                    line += '\t';
                    first = false;
                } else if (*c == '#') {
                    line += "0x";
                } else if (*c == ',') {
                    line += ", ";
                } else {
                    line += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
                }
            }
            lines.push_back({address + static_cast<uint32_t>(at), static_cast<uint32_t>(size), line});
            at += static_cast<std::size_t>(size);
        }
        return lines;
    }
    static std::vector<Line> Decode8051(const std::vector<uint8_t>& bytes, uint32_t address, std::size_t max) {
        std::vector<Line> lines;
        for (std::size_t at = 0; at < bytes.size() && (max == 0 || lines.size() < max);) {
            const uint32_t pc = address + static_cast<uint32_t>(at);
            const Mcs51Instruction insn = DecodeMcs51(bytes.data() + at, bytes.size() - at, pc);
            if (insn.size == 0) break;
            lines.push_back({pc, insn.size, insn.text});
            at += insn.size;
        }
        return lines;
    }

    csh handle_ = 0;
    bool ok_ = false;
    bool bigEndian_ = false;
    sim::CoreKind kind_ = sim::CoreKind::InProcess;
};

}  // namespace

void Session::Interrupt() {
    if (frontend::RunController* run = frontend::RunController::Active()) run->Interrupt();
}

void Session::Terminate() {
    g_terminating = true;
    if (frontend::RunController* run = frontend::RunController::Active()) run->Terminate();
}

bool Session::Terminating() { return g_terminating.load(); }

// ---- Session -------------------------------------------------------------------

// The program's console for semihosting: the session's streams, and
// standard input until Ctrl-C.
class Session::SemihostingConsole final : public semihosting::Console {
public:
    explicit SemihostingConsole(Session& session) : session_(session) {}
    void Output(std::string_view text, bool error) override {
        (error ? session_.err_ : session_.out_) << text << std::flush;
    }
    std::optional<int> ReadChar() override {
        session_.out_ << std::flush;
        return session_.run_.ReadInputChar();
    }

private:
    Session& session_;
};

Session::Session(frontend::DiModule& module, std::ostream& out, std::ostream& err, SessionOptions options)
    : module_(module),
      out_(out),
      err_(err),
      options_(std::move(options)),
      console_(std::make_unique<SemihostingConsole>(*this)),
      target_(module, CurrentBoard()),
      run_(target_) {
    if (g_terminating) run_.Terminate();
    run_.options().onPoll = [this] {
        if (firstPoll_ && options_.terminal) out_ << "running... (Ctrl-C interrupts)" << std::endl;
        firstPoll_ = false;
        if (onPoll) onPoll();
    };
    run_.options().targetFailure = options_.hostDiagnostics;
    if (options_.semihosting) {
        run_.options().semihosting = &semihost_;
        run_.options().console = console_.get();
    }
    semihost_.SetFileDirectory(options_.semihostingDirectory, options_.semihostingWritable);
}

Session::~Session() = default;

std::ostream& Session::Error() {
    // What went to the output so far comes first.
    out_ << std::flush;
    // The host's own account of a lost target (a QEMU that died) comes
    // before the first error it caused.
    if (options_.hostDiagnostics) {
        std::string diagnostic = options_.hostDiagnostics();
        if (!diagnostic.empty() && diagnostic != shownDiagnostic_) {
            err_ << "error: " << diagnostic << std::endl;
            shownDiagnostic_ = std::move(diagnostic);
        }
    }
    return err_ << "error: ";
}

bool Session::Check(const char* function, uint32_t result) {
    if (result == GdiOk) return true;
    Error() << function << " returned " << StatusName(result) << " (" << result << "): ";
    switch (result) {
        case GdiNotSupported: err_ << "the module does not provide this operation"; break;
        case GdiDownloadFailed: err_ << "the target refused the download step"; break;
        case GdiFailed:
            err_ << (open_ ? "the operation failed on the target" : "no debug session is open (use 'open')");
            break;
        default: err_ << "the module answered with a code the interface does not define"; break;
    }
    err_ << std::endl;
    return false;
}

std::string Session::DescribeAddress(uint32_t address, uint32_t space) const {
    std::string text = Hex32(address);
    if (space != 0) {
        const std::vector<std::string> spaces = sim::MemorySpaceNames(CurrentBoard());
        text = (space < spaces.size() ? spaces[space] : "space " + std::to_string(space)) + ":" + text;
    }
    const std::string symbol = symbols_.Describe(address, space);
    return symbol.empty() ? text : text + " <" + symbol + ">";
}

bool Session::CheckRange(uint32_t address, uint64_t length) {
    if (length == 0 || address + (length - 1) <= 0xFFFFFFFFu) return true;
    Error() << length << " bytes from " << Hex32(address)
            << " run past the end of the 32-bit address space (0xffffffff)" << std::endl;
    return false;
}

bool Session::Open(const std::optional<std::string>& path, const std::optional<std::string>& designator) {
    if (open_) {
        out_ << "closing the open session first" << std::endl;
        Close();
    }
    if (path) options_.frontEndPath = *path;
    if (designator) options_.designator = *designator;
    SetModulePollPeriod(options_.pollMs, options_.pollAdaptive);
    if (!Check("DiGdiOpen", target_.OpenInstance(options_.frontEndPath, options_.designator,
                                                 &frontend::RunController::PollCallback)
                                ? GdiOk
                                : target_.LastResult()))
        return false;
    open_ = true;
    breakpoints_.clear();
    nextBreakpoint_ = 1;

    uint8_t features[GdiFeaturesSize] = {};
    if (module_.DiGdiGetFeatures(features) == GdiOk && TextAt(features) && TextAt(features + FeaturesOffset(4)))
        out_ << "opened " << TextAt(features) << " " << TextAt(features + FeaturesOffset(4)) << " as "
             << options_.frontEndPath << ", processor " << options_.designator << std::endl;
    else
        out_ << "opened " << options_.frontEndPath << ", processor " << options_.designator << std::endl;

    // The module meets the host only at the first target operation: a
    // processor that is not there shows now, not later.
    bool answers = SendMaps();
    if (answers) {
        GdiValue pc;
        std::memset(&pc, 0, sizeof pc);
        answers = module_.DiRegisterRead(PcId(), &pc) == GdiOk && LoadLE32(pc.status) == ValueValid;
        if (answers)
            out_ << "processor " << options_.designator << " answers, pc " << DescribeAddress(GatherWord(pc)) << std::endl;
        else
            Error() << "processor '" << options_.designator
                    << "' does not answer: no processor of that name in the host's workspace?" << std::endl;
    }
    if (!answers) {
        target_.Close();
        open_ = false;
        out_ << "the session was closed again" << std::endl;
    }
    return answers;
}

bool Session::SendMaps() {
    const sim::Board& board = CurrentBoard();
    std::vector<GdiMapEntry> registers(board.arch.registers.size());
    for (std::size_t i = 0; i < registers.size(); ++i) {
        std::memset(&registers[i], 0, sizeof registers[i]);
        StorePointer(registers[i].name, board.arch.registers[i].name);
        StoreLE32(registers[i].id, static_cast<uint32_t>(i));
    }
    if (!Check("DiGdiInitRegisterMap",
               module_.DiGdiInitRegisterMap(static_cast<int32_t>(registers.size()), registers.data(), PcId())))
        return false;
    const std::vector<std::string> spaceNames = sim::MemorySpaceNames(board);
    std::vector<GdiMapEntry> spaces(spaceNames.size());
    for (std::size_t i = 0; i < spaces.size(); ++i) {
        std::memset(&spaces[i], 0, sizeof spaces[i]);
        StorePointer(spaces[i].name, spaceNames[i].c_str());
        StoreLE32(spaces[i].id, static_cast<uint32_t>(i));
    }
    if (!Check("DiGdiInitMemorySpaceMap", module_.DiGdiInitMemorySpaceMap(static_cast<int32_t>(spaces.size()), spaces.data())))
        return false;

    const auto refused = std::count_if(registers.begin(), registers.end(), [](const GdiMapEntry& e) { return e.accepted != 1; }) +
                         std::count_if(spaces.begin(), spaces.end(), [](const GdiMapEntry& e) { return e.accepted != 1; });
    out_ << "register map: " << registers.size() << " registers " << board.arch.registers.front().name << ".."
         << board.arch.registers.back().name << " as ids 0.." << registers.size() - 1 << ", " << RegisterName(PcId())
         << " (id " << PcId() << ") is the program counter" << std::endl;
    out_ << "memory-space map:";
    for (std::size_t i = 0; i < spaceNames.size(); ++i) out_ << (i ? ", " : " ") << spaceNames[i] << " as id " << i;
    out_ << std::endl;
    if (refused) {
        Error() << "the module did not accept every map entry" << std::endl;
        return false;
    }
    return true;
}

void Session::ShowProgress(std::size_t done, std::size_t total) {
    if (!options_.terminal || total == 0) return;
    constexpr int width = 32;
    const int filled = static_cast<int>(done * width / total);
    out_ << "\rdownloading [" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
         << done * 100 / total << "% " << done << "/" << total << " bytes" << std::flush;
    if (done == total) out_ << std::endl;
}

bool Session::Load(const std::string& file) {
    Image image;
    std::string error;
    if (!LoadImageFile(file, image, error)) {
        Error() << error << std::endl;
        return false;
    }
    for (const Segment& s : image.segments) {
        if (s.address > 0xFFFFFFFFu || !CheckRange(static_cast<uint32_t>(s.address), s.bytes.size())) {
            Error() << file << ": a segment lies beyond the 32-bit address space" << std::endl;
            return false;
        }
    }
    const std::size_t total = image.ByteCount();
    if (!Check("DiMemoryDownload (start)", target_.BeginDownload() ? GdiOk : target_.LastResult())) return false;
    std::size_t done = 0;
    ShowProgress(done, total);
    for (const Segment& segment : image.segments) {
        const auto base = static_cast<uint32_t>(segment.address);
        uint64_t refused = base;
        if (target_.DownloadBlocks(base, segment.bytes.data(), segment.bytes.size(), &refused, [&](std::size_t n) {
                done += n;
                ShowProgress(done, total);
            }))
            continue;
        if (options_.terminal) out_ << std::endl;
        target_.AbortDownload();
        Error() << "load: the target refused address " << Hex32(static_cast<uint32_t>(refused)) << " of the segment "
                << Hex32(base) << ".." << Hex32(base + static_cast<uint32_t>(segment.bytes.size() - 1))
                << "; the download was stopped (" << done << " of " << total
                << " bytes written before the segment's refused block)" << std::endl;
        return false;
    }
    if (!Check("DiMemoryDownload (finish)", target_.EndDownload() ? GdiOk : target_.LastResult())) return false;

    symbols_ = image.symbols;
    out_ << "loaded " << file << ": " << total << " bytes in " << image.segments.size() << " segment"
         << (image.segments.size() == 1 ? "" : "s");
    for (const Segment& s : image.segments)
        out_ << (&s == &image.segments.front() ? " (" : ", ") << Hex32(static_cast<uint32_t>(s.address)) << ".."
             << Hex32(static_cast<uint32_t>(s.address + s.bytes.size() - 1));
    out_ << ")";
    if (!symbols_.Empty()) out_ << ", symbols from " << image.symbolSource;
    out_ << std::endl;

    // As a debugger's load does: the program starts at its entry point.
    if (!image.entry) {
        out_ << "the image names no entry point: the pc is left as it is" << std::endl;
        return true;
    }
    if (*image.entry > 0xFFFFFFFFu) {
        Error() << "the entry point lies beyond the 32-bit address space" << std::endl;
        return false;
    }
    const auto entry = static_cast<uint32_t>(*image.entry);
    entry_ = entry;
    target_.SetEntry(entry);
    if (!SetRegister(PcId(), entry)) return false;
    out_ << "pc set to the entry point " << DescribeAddress(entry) << std::endl;

    // An image whose vector table sits at 0 also gives the stack pointer a
    // core takes from there at reset: without it the first push faults.
    for (const Segment& s : image.segments) {
        if (CurrentBoard().arch.reset != sim::ResetRule::VectorTable) break;  // only an M-profile core has the table
        if (s.address != 0 || s.bytes.size() < 4) continue;
        const uint32_t sp = uint32_t(s.bytes[0]) | uint32_t(s.bytes[1]) << 8 | uint32_t(s.bytes[2]) << 16 |
                            uint32_t(s.bytes[3]) << 24;
        if (!SetRegister(SpId(), sp)) return false;
        out_ << "sp set to " << Hex32(sp) << ", the initial stack pointer in the vector table" << std::endl;
        return true;
    }
    return true;
}

BreakpointInfo* Session::FindBreakpoint(uint32_t id) {
    for (auto& e : breakpoints_)
        if (e.id == id) return &e;
    return nullptr;
}

bool Session::Break(const Location& location) {
    const sim::Board& board = CurrentBoard();
    const uint32_t at = board.arch.InstructionAddress(location.address);
    const bool mapped = std::any_of(board.regions.begin(), board.regions.end(), [&](const sim::BoardRegion& r) {
        return at >= r.base && at - r.base < r.size;
    });
    if (!mapped) {
        auto& e = Error();
        e << "cannot set a breakpoint at " << Hex32(location.address) << ": no memory there on " << board.name
          << " (code can be at";
        for (const sim::BoardRegion& r : board.regions)
            e << " " << r.name << " " << Hex32(static_cast<uint32_t>(r.base)) << "-"
              << Hex32(static_cast<uint32_t>(r.base + r.size - 1));
        e << ")" << std::endl;
        return false;
    }
    for (const auto& e : breakpoints_) {
        if (e.number != 0 && e.address == location.address) {
            out_ << "breakpoint " << e.number << " is already at " << DescribeAddress(e.address) << std::endl;
            return true;
        }
    }
    const auto set = target_.SetBreakpoint(location.address);
    if (!Check("DiBreakpointSet", set ? GdiOk : target_.LastResult())) return false;
    const uint32_t id = *set;
    if (BreakpointInfo* internal = FindBreakpoint(id)) {
        internal->number = nextBreakpoint_++;  // the session's own becomes the user's
    } else {
        breakpoints_.push_back({nextBreakpoint_++, id, location.address, 0});
    }
    out_ << "breakpoint " << nextBreakpoint_ - 1 << " at " << DescribeAddress(location.address) << std::endl;
    return true;
}

bool Session::Delete(std::optional<uint32_t> number) {
    if (!number) {
        std::size_t deleted = 0;
        for (auto it = breakpoints_.begin(); it != breakpoints_.end();) {
            if (it->number == 0) {
                ++it;
                continue;
            }
            if (!Check("DiBreakpointClear", target_.ClearBreakpoint(it->id) ? GdiOk : target_.LastResult())) return false;
            it = breakpoints_.erase(it);
            ++deleted;
        }
        out_ << (deleted ? "deleted all breakpoints" : "no breakpoints to delete") << std::endl;
        return true;
    }
    const auto it = std::find_if(breakpoints_.begin(), breakpoints_.end(),
                                 [&](const BreakpointInfo& e) { return e.number != 0 && e.number == *number; });
    if (it == breakpoints_.end()) {
        Error() << "no breakpoint number " << *number << " (see 'info break')" << std::endl;
        return false;
    }
    if (!Check("DiBreakpointClear", target_.ClearBreakpoint(it->id) ? GdiOk : target_.LastResult())) return false;
    out_ << "deleted breakpoint " << *number << " at " << DescribeAddress(it->address) << std::endl;
    breakpoints_.erase(it);
    return true;
}

bool Session::InfoBreakpoints() {
    std::vector<const BreakpointInfo*> listed;
    for (const auto& e : breakpoints_)
        if (e.number != 0) listed.push_back(&e);
    if (listed.empty()) {
        out_ << "no breakpoints" << std::endl;
        return true;
    }
    std::sort(listed.begin(), listed.end(), [](auto* a, auto* b) { return a->number < b->number; });
    out_ << "Num  Address     Hits  What\n";
    for (const BreakpointInfo* e : listed) {
        char row[64];
        std::snprintf(row, sizeof row, "%-4u %s  %-5u ", e->number, Hex32(e->address).c_str(), e->hits);
        out_ << row << symbols_.Describe(e->address) << "\n";
    }
    out_ << std::flush;
    return true;
}

std::optional<StopStatus> Session::QueryStatus() {
    auto status = target_.Status();
    if (!status) Check("DiExecGetStatus", target_.LastResult());
    return status;
}

void Session::PrintStatus(const StopStatus& status) {
    out_ << "status: " << CauseText(status.cause) << " (cause " << status.cause << ")";
    if (status.cause == CauseBreakpoint) {
        const BreakpointInfo* e = FindBreakpoint(status.breakpointId);
        if (e && e->number != 0)
            out_ << ", breakpoint " << e->number << " at " << DescribeAddress(e->address);
        else if (e)
            out_ << " at " << DescribeAddress(e->address);
        else  // Thumb breakpoints carry the instruction address plus one.
            out_ << ", breakpoint id " << Hex32(status.breakpointId) << " at "
                 << DescribeAddress(CurrentBoard().arch.InstructionAddress(status.breakpointId));
    }
    if (!status.message.empty()) out_ << ": " << status.message;
    out_ << std::endl;
    if (status.cause != CauseRunning && status.cause != CauseUnknownState) ShowPcInstruction();
}

void Session::ShowPcInstruction() {
    const auto pc = ReadRegister(PcId());
    if (!pc) return;
    out_ << "=> " << DescribeAddress(*pc);
    std::vector<uint8_t> code;
    for (uint32_t i = 0; i < 4 && *pc + i >= *pc; ++i) {
        GdiValue value;
        std::memset(&value, 0, sizeof value);
        if (module_.DiMemoryRead(Address(*pc + i), &value, 1) != GdiOk || LoadLE32(value.status) != ValueValid) break;
        code.push_back(value.bytes[7]);
    }
    const auto lines = Disassembler().Decode(code, *pc, 1);
    out_ << ":\t" << (lines.empty() ? std::string("(no instruction can be read there)") : lines.front().text)
         << std::endl;
}

bool Session::ShowStatus() {
    const auto status = QueryStatus();
    if (status) PrintStatus(*status);
    return status.has_value();
}

bool Session::Run(RunKind kind, uint32_t count, const char* verb) {
    const char* function = kind == RunKind::Continue ? "DiExecContinue" : "DiExecSingleStep";
    if (!verb) verb = kind == RunKind::Continue ? "continue" : "step";
    frontend::RunResult result;
    {
        InterruptScope interrupts;
        run_.TakeInterrupt();  // a Ctrl-C from before the run is forgotten
        run_.options().timeoutSeconds = options_.timeoutSeconds;
        firstPoll_ = true;
        result = kind == RunKind::Continue ? run_.Continue() : run_.Step(count);
    }
    switch (result.end) {
        case frontend::RunEnd::Stopped:
            if (result.breakpointAfterCall) {
                const auto pc = ReadRegister(PcId());
                if (!pc) return false;
                const auto at = std::find_if(breakpoints_.begin(), breakpoints_.end(),
                                             [&](const BreakpointInfo& e) { return e.address == *pc; });
                out_ << "breakpoint";
                if (at != breakpoints_.end()) {
                    ++at->hits;
                    if (at->number != 0) out_ << " " << at->number;
                }
                out_ << " at " << DescribeAddress(*pc) << ", right after the semihosting call" << std::endl;
                ShowPcInstruction();
                return true;
            }
            if (result.call) {  // a step that carried out a call
                ShowPcInstruction();
                return true;
            }
            break;
        case frontend::RunEnd::Faulted: {
            // A step (or a continue's first step) that did not execute its
            // instruction: the processor stopped on a fault where it is.
            const auto pc = ReadRegister(PcId());
            if (!pc) return false;
            out_ << "fault: the processor cannot execute the instruction at " << DescribeAddress(*pc) << std::endl;
            ShowPcInstruction();
            Error() << verb << ": the processor faulted at " << Hex32(*pc) << " (" << function
                    << " returned GdiFailed (7))" << std::endl;
            return false;
        }
        case frontend::RunEnd::Interrupted:
        case frontend::RunEnd::Abandoned:
        case frontend::RunEnd::Terminated:
            interruptedRun_ = true;
            if (result.call) {
                out_ << "interrupted while the program waited for input: the processor is halted on the call"
                     << std::endl;
            } else {
                out_ << "interrupted: the processor is halted" << std::endl;
            }
            return ShowStatus();
        case frontend::RunEnd::TimedOut:
            out_ << "timed out: the processor is halted" << std::endl;
            ShowStatus();
            Error() << verb << " did not stop within " << options_.timeoutSeconds
                    << " s (--timeout): the run was cancelled and the processor halted" << std::endl;
            return false;
        case frontend::RunEnd::Exited: {
            const semihosting::Outcome& exit = result.exit;
            const std::string name = semihosting::Executor::Name(result.exitOperation);
            if (exit.normal) {
                programExitCode_ = exit.exitCode;
                out_ << "the program exited with code " << exit.exitCode << " (" << name
                     << "); the processor is halted on the call" << std::endl;
            } else {
                out_ << "the program stopped with reason " << Hex32(exit.exitCode) << " (" << name
                     << "); the processor is halted on the call" << std::endl;
            }
            return true;
        }
        case frontend::RunEnd::TargetLost:
            // Error() tells the host's account of the loss first.
            return Check(function, target_.LastResult() == GdiOk ? GdiFailed : target_.LastResult());
        case frontend::RunEnd::Failed:
            if (!result.detail.empty() && target_.LastResult() == GdiOk) {
                Error() << verb << ": " << result.detail << std::endl;
                return false;
            }
            return Check(function, target_.LastResult() == GdiOk ? GdiFailed : target_.LastResult());
    }
    if (!result.status) result.status = QueryStatus();
    if (!result.status) return false;
    if (result.status->cause == CauseBreakpoint)
        if (BreakpointInfo* e = FindBreakpoint(result.status->breakpointId)) ++e->hits;
    PrintStatus(*result.status);
    return true;
}

bool Session::Continue() { return Run(RunKind::Continue, 0); }

bool Session::Finish() {
    if (LrId() < 0) {
        Error() << "finish needs a link register, and this board's map has none" << std::endl;
        return false;
    }
    const auto lr = ReadRegister(LrId());
    if (!lr) return false;
    // 0xFxxxxxxx are exception-return codes, not code addresses.
    if (*lr < 2 || CurrentBoard().arch.IsExceptionReturn(*lr)) {
        Error() << "LR (" << Hex32(*lr) << ") holds no return address" << std::endl;
        return false;
    }
    const uint32_t returnAddress = CurrentBoard().arch.InstructionAddress(*lr);
    // LR holds the caller's return address only until the function makes a
    // call of its own: then it points back into the function, and the way
    // out is on the stack, which this front-end does not unwind.
    const auto pc = ReadRegister(PcId());
    if (!pc) return false;
    const uint32_t here = CurrentBoard().arch.InstructionAddress(*pc);
    const Symbol* function = symbols_.Covering(here);
    const bool intoItself = function && here != function->address && returnAddress >= function->address &&
                            returnAddress - function->address < function->size;
    if (returnAddress == here || intoItself) {
        Error() << "finish cannot tell where " << (function ? "<" + function->name + ">" : std::string("this code"))
                << " returns to: LR (" << Hex32(*lr) << ") points "
                << (returnAddress == here ? std::string("at the PC itself") : "into <" + function->name + "> itself")
                << ", left by a call it made; set a breakpoint in the caller and continue" << std::endl;
        return false;
    }
    out_ << "finish: running to the return address " << DescribeAddress(returnAddress) << std::endl;
    const bool ours = std::none_of(breakpoints_.begin(), breakpoints_.end(),
                                   [&](const auto& e) { return e.address == returnAddress; });
    uint32_t id = 0;
    if (ours) {
        const auto set = target_.SetBreakpoint(returnAddress);
        if (!Check("DiBreakpointSet", set ? GdiOk : target_.LastResult())) return false;
        id = *set;
        breakpoints_.push_back({0, id, returnAddress, 0});
    }
    const bool ok = Run(RunKind::Continue, 0, "finish");
    if (ours) {
        const auto it = std::find_if(breakpoints_.begin(), breakpoints_.end(),
                                     [&](const BreakpointInfo& e) { return e.id == id && e.number == 0; });
        if (it != breakpoints_.end()) {
            target_.ClearBreakpoint(id);
            breakpoints_.erase(it);
        }
    }
    return ok;
}

bool Session::Step(uint32_t count) { return Run(RunKind::Step, count); }

bool Session::Stop() {
    if (!Check("DiExecStop", target_.Stop() ? GdiOk : target_.LastResult())) return false;
    out_ << "halted" << std::endl;
    return ShowStatus();
}

bool Session::Reset() {
    // Where nothing on the board takes the program's start from memory, the
    // target puts the pc at the loaded image's entry point, as a debugger's
    // reset and load do.
    if (!target_.Reset()) {
        if (target_.LastResult() != GdiOk) return Check("DiExecResetChild", target_.LastResult());
        Error() << "reset: the pc could not be set to the image's entry point" << std::endl;
        return false;
    }
    if (CurrentBoard().arch.reset != sim::ResetRule::ImageEntry) {
        out_ << "reset: the processor restarts " << CurrentBoard().arch.resetHelp
             << std::endl;
    } else if (!entry_) {
        out_ << "reset: the processor restarts at its reset address (no image loaded to start at)" << std::endl;
    } else {
        out_ << "reset: the processor restarts at the image's entry point " << DescribeAddress(*entry_) << std::endl;
    }
    ShowPcInstruction();
    return true;
}

std::optional<uint32_t> Session::ReadRegister(int32_t id) {
    GdiValue value;
    std::memset(&value, 0, sizeof value);
    if (!Check("DiRegisterRead", module_.DiRegisterRead(id, &value))) return std::nullopt;
    if (LoadLE32(value.status) != ValueValid) {
        Error() << "register " << RegisterName(id) << " could not be read (value status " << LoadLE32(value.status)
                << ")" << std::endl;
        return std::nullopt;
    }
    return GatherWord(value);
}

bool Session::ShowRegisters(std::optional<int32_t> only) {
    if (only) {
        const auto value = ReadRegister(*only);
        if (!value) return false;
        out_ << RegisterName(*only) << " " << Hex32(*value);
        if (*only == StatusId() && CurrentBoard().arch.decodeStatus)
            out_ << "  " << CurrentBoard().arch.decodeStatus(*value);
        else if (*only == PcId() || *only == LrId())
            out_ << "  " << DescribeAddress(*only == LrId() ? CurrentBoard().arch.InstructionAddress(*value) : *value);
        else
            out_ << "  " << *value;
        out_ << std::endl;
        return true;
    }
    bool ok = true;
    int column = 0;
    std::optional<uint32_t> xpsr, pc;
    const auto& boardRegisters = CurrentBoard().arch.registers;
    for (std::size_t index = 0; index < boardRegisters.size(); ++index) {
        const RegisterInfo r{boardRegisters[index].name, static_cast<int32_t>(index)};
        GdiValue value;
        std::memset(&value, 0, sizeof value);
        if (!Check("DiRegisterRead", module_.DiRegisterRead(r.id, &value))) return false;
        char cell[32];
        if (LoadLE32(value.status) == ValueValid) {
            std::snprintf(cell, sizeof cell, "%-6s 0x%08x", r.name, GatherWord(value));
            if (r.id == StatusId()) xpsr = GatherWord(value);
            if (r.id == PcId()) pc = GatherWord(value);
        } else {
            std::snprintf(cell, sizeof cell, "%-6s (not read)", r.name);
            ok = false;
        }
        out_ << (column % 4 == 0 ? "" : "   ") << cell;
        if (++column % 4 == 0) out_ << "\n";
    }
    if (column % 4 != 0) out_ << "\n";
    if (xpsr && CurrentBoard().arch.decodeStatus) out_ << "xpsr " << CurrentBoard().arch.decodeStatus(*xpsr) << "\n";
    if (pc) {
        const std::string symbol = symbols_.Describe(*pc);
        if (!symbol.empty()) out_ << "pc is in " << symbol << "\n";
    }
    out_ << std::flush;
    if (!ok) Error() << "some registers could not be read" << std::endl;
    return ok;
}

std::optional<uint32_t> Session::ReadAvailable(uint32_t address, uint32_t count, std::vector<uint8_t>& bytes,
                                               uint32_t space) {
    for (uint32_t n = count;; n /= 2) {
        std::vector<GdiValue> values(n);
        if (!Check("DiMemoryRead", module_.DiMemoryRead(Address(address, space), values.data(), n))) return std::nullopt;
        // A memory space may deliver fewer values than asked for (status 6
        // from there on); a block that runs into unmapped memory may fail
        // whole, so a refused block is asked for again in halves.
        uint32_t valid = 0;
        while (valid < n && LoadLE32(values[valid].status) == ValueValid) ++valid;
        if (valid > 0 || n == 1) {
            for (uint32_t i = 0; i < valid; ++i) bytes.push_back(values[i].bytes[7]);
            return valid;
        }
    }
}

std::optional<std::vector<uint8_t>> Session::ReadMemory(uint32_t address, uint32_t count, uint32_t space) {
    if (!CheckRange(address, count)) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        const uint32_t at = address + static_cast<uint32_t>(bytes.size());
        const uint32_t n = std::min<uint32_t>(kTransferValues, count - static_cast<uint32_t>(bytes.size()));
        const auto valid = ReadAvailable(at, n, bytes, space);
        if (!valid) return std::nullopt;
        if (*valid == 0) {
            Error() << "the target refused a read at " << DescribeAddress(at, space) << std::endl;
            return std::nullopt;
        }
    }
    return bytes;
}

bool Session::DumpMemory(const Location& location, uint32_t count) {
    const auto bytes = ReadMemory(location.address, count, location.space);
    if (!bytes) return false;
    if (!location.symbol.empty()) out_ << location.symbol << ":\n";
    for (std::size_t row = 0; row < bytes->size(); row += 16) {
        out_ << Hex32(location.address + static_cast<uint32_t>(row)).substr(2) << " ";
        std::string ascii;
        char text[8];
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i < bytes->size()) {
                std::snprintf(text, sizeof text, " %02x", (*bytes)[i]);
                out_ << text;
                const char c = static_cast<char>((*bytes)[i]);
                ascii += std::isprint(static_cast<unsigned char>(c)) ? c : '.';
            } else {
                out_ << "   ";
            }
            if (i == row + 7) out_ << " ";
        }
        out_ << "  |" << ascii << "|\n";
    }
    out_ << std::flush;
    return true;
}

bool Session::ShowWords(const Location& location, std::optional<uint32_t> count) {
    uint32_t words = count.value_or(4);
    if (!count && !location.symbol.empty())
        if (const Symbol* s = symbols_.Find(location.symbol); s && s->size >= 4) words = static_cast<uint32_t>(s->size / 4);
    const auto bytes = ReadMemory(location.address, words * 4, location.space);
    if (!bytes) return false;
    out_ << (location.symbol.empty() ? Hex32(location.address) : location.symbol) << ": " << words
         << " word" << (words == 1 ? "" : "s") << " at " << Hex32(location.address) << "\n";
    for (uint32_t i = 0; i < words; ++i) {
        const uint8_t* b = bytes->data() + 4 * i;
        uint32_t word = 0;  // in the target's byte order
        for (int k = 0; k < 4; ++k) word |= uint32_t(b[CurrentBoard().arch.bigEndian ? 3 - k : k]) << (8 * k);
        char line[80];
        std::snprintf(line, sizeof line, "  [%2u] %s  0x%08x  %10u\n", i, Hex32(location.address + 4 * i).c_str(), word,
                      word);
        out_ << line;
    }
    out_ << std::flush;
    return true;
}

bool Session::Examine(const Location& location, const ExamineFormat& format) {
    const uint64_t length = uint64_t{format.count} * format.unit;
    if (!CheckRange(location.address, length)) return false;
    const auto bytes = ReadMemory(location.address, static_cast<uint32_t>(length), location.space);
    if (!bytes) return false;
    const uint32_t perRow = format.unit == 4 ? 4 : 8;
    for (uint32_t i = 0; i < format.count; ++i) {
        const uint32_t at = location.address + i * format.unit;
        if (i % perRow == 0) {
            if (i) out_ << "\n";
            out_ << DescribeAddress(at, location.space) << ":";
        }
        uint32_t value = 0;
        // In the target's byte order.
        for (uint32_t k = 0; k < format.unit; ++k) {
            const uint32_t from = CurrentBoard().arch.bigEndian ? format.unit - 1 - k : k;
            value |= uint32_t((*bytes)[i * format.unit + from]) << (8 * k);
        }
        char cell[24];
        if (format.format == 'x') {
            std::snprintf(cell, sizeof cell, "0x%0*x", static_cast<int>(format.unit * 2), value);
        } else if (format.format == 'd') {
            const int shift = static_cast<int>(32 - 8 * format.unit);
            const int32_t signedValue = static_cast<int32_t>(value << shift) >> shift;
            std::snprintf(cell, sizeof cell, "%d", signedValue);
        } else {
            std::snprintf(cell, sizeof cell, "%u", value);
        }
        out_ << "\t" << cell;
    }
    out_ << std::endl;
    return true;
}

bool Session::DumpToFile(const std::string& file, const Location& location, uint32_t length) {
    const auto bytes = ReadMemory(location.address, length, location.space);
    if (!bytes) return false;
    std::ofstream output(file, std::ios::binary | std::ios::trunc);
    if (output) output.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    if (!output.flush()) {
        Error() << "cannot write " << file << std::endl;
        return false;
    }
    out_ << "dumped " << bytes->size() << " bytes from " << DescribeAddress(location.address, location.space) << " to " << file
         << std::endl;
    return true;
}

bool Session::Disassemble(const std::optional<Location>& location, std::optional<uint32_t> count) {
    std::optional<uint32_t> pc;
    {
        GdiValue value;
        std::memset(&value, 0, sizeof value);
        if (module_.DiRegisterRead(PcId(), &value) == GdiOk && LoadLE32(value.status) == ValueValid)
            pc = GatherWord(value);
    }
    uint32_t start;
    if (location) {
        start = CurrentBoard().arch.InstructionAddress(location->address);  // a Thumb address may carry bit 0
    } else if (pc) {
        start = *pc;
    } else {
        return ReadRegister(PcId()).has_value();  // reports why
    }
    // A function named without a count is shown whole.
    uint32_t bytesWanted = count.value_or(8) * 4;
    std::size_t maxLines = count.value_or(8);
    if (!count && location && !location->symbol.empty())
        if (const Symbol* s = symbols_.Find(location->symbol); s && s->size > 0 && s->address == location->address) {
            bytesWanted = static_cast<uint32_t>(std::min<uint64_t>(s->size, 4096));
            maxLines = 0;
        }
    bytesWanted = static_cast<uint32_t>(std::min<uint64_t>(bytesWanted, uint64_t{0x100000000} - start));
    // Read what can be read: the instructions may end at the end of memory.
    std::vector<uint8_t> code;
    while (code.size() < bytesWanted) {
        const uint32_t at = start + static_cast<uint32_t>(code.size());
        const uint32_t n = std::min<uint32_t>(kTransferValues, bytesWanted - static_cast<uint32_t>(code.size()));
        const auto valid = ReadAvailable(at, n, code);
        if (!valid) return false;
        if (*valid == 0) break;
    }
    if (code.empty()) {
        Error() << "the target refused a read at " << DescribeAddress(start) << std::endl;
        return false;
    }
    const auto lines = Disassembler().Decode(code, start, maxLines);
    for (const auto& line : lines) {
        out_ << (pc && *pc == line.address ? "=> " : "   ") << DescribeAddress(line.address) << ":\t" << line.text
             << "\n";
    }
    const uint32_t decoded = lines.empty() ? 0 : lines.back().address + lines.back().size - start;
    if ((maxLines == 0 || lines.size() < maxLines) && decoded + 1 < code.size()) {
        const uint32_t at = start + decoded;
        out_ << "   " << DescribeAddress(at) << ":\t(not an instruction: 0x" << std::hex
             << (code[decoded] | code[decoded + 1] << 8) << std::dec << ")\n";
    }
    out_ << std::flush;
    return true;
}

bool Session::WriteBlock(uint32_t address, const uint8_t* data, uint32_t length, uint32_t space) {
    std::vector<GdiValue> values(length);
    for (uint32_t i = 0; i < length; ++i) {
        std::memset(&values[i], 0, sizeof values[i]);
        values[i].bytes[7] = data[i];
    }
    return module_.DiMemoryWrite(Address(address, space), values.data(), length) == GdiOk;
}

bool Session::WriteMemory(const Location& location, const std::vector<uint8_t>& bytes) {
    if (!CheckRange(location.address, bytes.size())) return false;
    for (std::size_t done = 0; done < bytes.size();) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(kTransferValues, bytes.size() - done));
        const uint32_t at = location.address + static_cast<uint32_t>(done);
        if (!WriteBlock(at, bytes.data() + done, n, location.space)) {
            if (!open_) return Check("DiMemoryWrite", GdiFailed);
            const auto refused = frontend::FirstRefused(n, [&](uint32_t offset, uint32_t count) {
                return WriteBlock(at + offset, bytes.data() + done + offset, count, location.space);
            });
            Error() << "DiMemoryWrite returned GdiFailed (7): the target refused a write at "
                    << DescribeAddress(at + refused.value_or(0), location.space) << std::endl;
            return false;
        }
        done += n;
    }
    out_ << "wrote " << bytes.size() << " byte" << (bytes.size() == 1 ? "" : "s") << " at "
         << DescribeAddress(location.address, location.space) << std::endl;
    return true;
}

bool Session::SetRegister(int32_t id, uint32_t value) {
    GdiValue record;
    std::memset(&record, 0, sizeof record);
    SpreadWord(record, value);
    if (!Check("DiRegisterWrite", module_.DiRegisterWrite(id, record))) return false;
    // Read back: a register may not take every value written to it.
    const auto now = ReadRegister(id);
    if (!now) return false;
    if (*now != value) {
        Error() << RegisterName(id) << " reads " << Hex32(*now) << " after writing " << Hex32(value) << std::endl;
        return false;
    }
    return true;
}

bool Session::WriteRegister(int32_t id, uint32_t value) {
    if (!SetRegister(id, value)) return false;
    out_ << RegisterName(id) << " = " << Hex32(value) << std::endl;
    return true;
}

bool Session::Close() {
    if (!Check("DiGdiClose", target_.Close() ? GdiOk : target_.LastResult())) return false;
    open_ = false;
    breakpoints_.clear();
    out_ << "closed" << std::endl;
    return true;
}

}  // namespace orxdbg
