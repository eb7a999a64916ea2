#include "tools/orxdbg/Session.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "gdi/GdiRecords.h"

namespace orxdbg {

using namespace gdi;

// ---- Names -----------------------------------------------------------------

std::optional<int32_t> RegisterIdFor(std::string_view name) {
    for (const RegisterInfo& r : kRegisters) {
        const std::string_view candidate = r.name;
        if (candidate.size() == name.size() &&
            std::equal(name.begin(), name.end(), candidate.begin(),
                       [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }))
            return r.id;
    }
    return std::nullopt;
}

const char* RegisterName(int32_t id) {
    for (const RegisterInfo& r : kRegisters)
        if (r.id == id) return r.name;
    return "?";
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

namespace {

std::string Hex32(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, value > 0xFFFFFFFFu ? "0x%016llx" : "0x%08llx",
                  static_cast<unsigned long long>(value));
    return text;
}

// ---- Records ---------------------------------------------------------------

GdiAddress Address(uint64_t address) {
    GdiAddress a;
    StoreLE32(a.spaceId, kMemorySpaceId);
    for (int i = 0; i < 8; ++i) a.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return a;
}

const char* TextAt(const uint8_t* field) {
    const char* text;
    std::memcpy(&text, field, sizeof text);
    return text;
}

// ---- Ctrl-C ------------------------------------------------------------------

std::atomic<bool> g_interrupted{false};
std::atomic<Session*> g_session{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterruptSignal(int) { Session::Interrupt(); }

// Ctrl-C requests a cancel while a run waits; outside, it keeps its usual
// meaning. Presses from before the run are forgotten.
class InterruptScope {
public:
    InterruptScope() {
        g_interrupted = false;
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

}  // namespace

void Session::Interrupt() { g_interrupted = true; }

void DI_CDECL Session::PollCallback() {
    Session* session = g_session.load();
    if (!session) return;
    if (session->firstPoll_ && session->options_.terminal) {
        session->out_ << "running... (Ctrl-C interrupts)" << std::endl;
    }
    session->firstPoll_ = false;
    if (session->onPoll) session->onPoll();
    if (g_interrupted.exchange(false)) {
        session->cancelled_ = true;
        session->module_.DiGdiCancel();
    }
}

// ---- Session -------------------------------------------------------------------

Session::Session(frontend::DiModule& module, std::ostream& out, SessionOptions options)
    : module_(module), out_(out), options_(std::move(options)) {}

Session::~Session() {
    Session* self = this;
    g_session.compare_exchange_strong(self, nullptr);
}

bool Session::Check(const char* function, uint32_t result) {
    if (result == GdiOk) return true;
    out_ << "error: " << function << " returned " << StatusName(result) << " (" << result << "): ";
    switch (result) {
        case GdiNotSupported: out_ << "the module does not provide this operation"; break;
        case GdiDownloadFailed: out_ << "the target refused the download step"; break;
        case GdiFailed:
            out_ << (open_ ? "the operation failed on the target" : "no debug session is open (use 'open')");
            break;
        default: out_ << "the module answered with a code the interface does not define"; break;
    }
    out_ << std::endl;
    return false;
}

bool Session::CheckRun(const char* function, uint32_t result) {
    if (result == GdiFailed && cancelled_) {
        out_ << "error: " << function << " returned GdiFailed (7): interrupted, the wait was cancelled with "
                "DiGdiCancel; the processor keeps running ('stop' halts it)"
             << std::endl;
        return false;
    }
    return Check(function, result);
}

std::string Session::DescribeAddress(uint64_t address) const {
    const std::string symbol = symbols_.Describe(address);
    return symbol.empty() ? Hex32(address) : Hex32(address) + " <" + symbol + ">";
}

bool Session::Open(const std::optional<std::string>& path, const std::optional<std::string>& designator) {
    if (open_) {
        out_ << "closing the open session first" << std::endl;
        Close();
    }
    if (path) options_.frontEndPath = *path;
    if (designator) options_.designator = *designator;
    const char* argv[] = {options_.frontEndPath.c_str(), options_.designator.c_str()};
    g_session = this;
    if (!Check("DiGdiOpen", module_.DiGdiOpen(0, 0, 2, argv, &Session::PollCallback))) return false;
    open_ = true;
    breakpoints_.clear();

    uint8_t features[GdiFeaturesSize] = {};
    if (module_.DiGdiGetFeatures(features) == GdiOk && TextAt(features) && TextAt(features + FeaturesOffset(4)))
        out_ << "opened " << TextAt(features) << " " << TextAt(features + FeaturesOffset(4)) << " as "
             << options_.frontEndPath << ", processor " << options_.designator << std::endl;
    else
        out_ << "opened " << options_.frontEndPath << ", processor " << options_.designator << std::endl;
    return true;
}

bool Session::SendMaps() {
    std::vector<GdiMapEntry> registers(std::size(kRegisters));
    for (std::size_t i = 0; i < registers.size(); ++i) {
        std::memset(&registers[i], 0, sizeof registers[i]);
        StorePointer(registers[i].name, kRegisters[i].name);
        StoreLE32(registers[i].id, static_cast<uint32_t>(kRegisters[i].id));
    }
    if (!Check("DiGdiInitRegisterMap",
               module_.DiGdiInitRegisterMap(static_cast<int32_t>(registers.size()), registers.data(), kPcId)))
        return false;
    GdiMapEntry space;
    std::memset(&space, 0, sizeof space);
    StorePointer(space.name, kMemorySpaceName);
    StoreLE32(space.id, kMemorySpaceId);
    if (!Check("DiGdiInitMemorySpaceMap", module_.DiGdiInitMemorySpaceMap(1, &space))) return false;

    const auto refused = std::count_if(registers.begin(), registers.end(), [](const GdiMapEntry& e) { return e.accepted != 1; });
    out_ << "register map: " << registers.size() << " registers R0..R12 SP LR PC XPSR as ids 0.." << registers.size() - 1
         << ", PC (id " << kPcId << ") is the program counter" << std::endl;
    out_ << "memory-space map: " << kMemorySpaceName << " as id " << kMemorySpaceId << std::endl;
    if (refused || space.accepted != 1) {
        out_ << "error: the module did not accept every map entry" << std::endl;
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
        out_ << "error: " << error << std::endl;
        return false;
    }
    const std::size_t total = image.ByteCount();
    auto format = [](uint32_t count, uint64_t start) {
        GdiDownloadFormat f;
        StoreLE32(f.format, 0);
        StoreLE32(f.byteCount, count);
        f.start = Address(start);
        return RecordToSlots(f);
    };
    auto step = [&](uint32_t code, uint32_t count, uint64_t start, const uint8_t* data) {
        const auto f = format(count, start);
        return module_.DiMemoryDownload(0, code, f[0], f[1], f[2], f[3], f[4], data);
    };

    const uint64_t first = image.segments.front().address;
    if (!Check("DiMemoryDownload (start)", step(0, 0, first, nullptr))) return false;
    std::size_t done = 0;
    ShowProgress(done, total);
    for (const Segment& segment : image.segments) {
        for (std::size_t offset = 0; offset < segment.bytes.size(); offset += kDownloadBlockBytes) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(kDownloadBlockBytes, segment.bytes.size() - offset));
            const uint64_t at = segment.address + offset;
            if (!Check("DiMemoryDownload (block)", step(1, n, at, segment.bytes.data() + offset))) {
                if (options_.terminal) out_ << std::endl;
                out_ << "download stopped at " << Hex32(at) << " after " << done << " of " << total << " bytes"
                     << std::endl;
                step(3, 0, at, nullptr);
                return false;
            }
            done += n;
            ShowProgress(done, total);
        }
    }
    if (!Check("DiMemoryDownload (finish)", step(2, 0, first, nullptr))) return false;

    symbols_ = image.symbols;
    out_ << "loaded " << file << ": " << total << " bytes in " << image.segments.size() << " segment"
         << (image.segments.size() == 1 ? "" : "s");
    for (const Segment& s : image.segments)
        out_ << (&s == &image.segments.front() ? " (" : ", ") << Hex32(s.address) << ".."
             << Hex32(s.address + s.bytes.size() - 1);
    out_ << ")";
    if (image.entry) out_ << ", entry " << Hex32(*image.entry);
    if (!symbols_.Empty()) out_ << ", symbols from the ELF file";
    out_ << std::endl;
    return true;
}

bool Session::Break(const Location& location) {
    GdiBreakpoint request;
    std::memset(&request, 0, sizeof request);
    StoreLE32(request.kind, 1);
    request.location = Address(location.address);
    StoreLE32(request.qualifier, 2);  // a Thumb instruction
    GdiBreakpointResult result;
    std::memset(&result, 0, sizeof result);
    const auto b = RecordToSlots(request);
    if (!Check("DiBreakpointSet", module_.DiBreakpointSet(&result, b[0], b[1], b[2], b[3], b[4], b[5], b[6])))
        return false;
    const uint32_t id = LoadLE32(result.breakpointId);
    const bool known = std::any_of(breakpoints_.begin(), breakpoints_.end(), [&](const auto& e) { return e.id == id; });
    if (!known) breakpoints_.push_back({id, location.address, location.symbol});
    out_ << "breakpoint " << Hex32(id) << (known ? " already set" : " set") << " at " << DescribeAddress(location.address)
         << std::endl;
    return true;
}

std::optional<uint32_t> Session::ResolveBreakpointId(const Location& location) const {
    for (const auto& e : breakpoints_)
        if (e.id == location.address) return e.id;
    for (const auto& e : breakpoints_)
        if (e.address == location.address) return e.id;
    // Not one the session set: a number is taken as an id as it stands.
    if (location.symbol.empty() && location.address <= 0xFFFFFFFFu) return static_cast<uint32_t>(location.address);
    return std::nullopt;
}

bool Session::Delete(const Location& location) {
    const auto id = ResolveBreakpointId(location);
    if (!id) {
        out_ << "error: no breakpoint at " << DescribeAddress(location.address) << std::endl;
        return false;
    }
    if (!Check("DiBreakpointClear", module_.DiBreakpointClear(*id))) return false;
    std::erase_if(breakpoints_, [&](const auto& e) { return e.id == *id; });
    out_ << "breakpoint " << Hex32(*id) << " deleted" << std::endl;
    return true;
}

std::string Session::DescribeBreakpoint(uint32_t id) const {
    for (const auto& e : breakpoints_)
        if (e.id == id) return DescribeAddress(e.address);
    // Thumb breakpoints carry the instruction address plus one.
    std::string symbol = symbols_.Describe(id);
    if (symbol.empty()) symbol = symbols_.Describe(id & ~1u);
    return symbol.empty() ? std::string("an address without a symbol") : symbol;
}

std::optional<StopStatus> Session::QueryStatus() {
    GdiExitStatus record;
    std::memset(&record, 0, sizeof record);
    if (!Check("DiExecGetStatus", module_.DiExecGetStatus(&record))) return std::nullopt;
    StopStatus status;
    status.cause = LoadLE32(record.cause);
    status.breakpointId = LoadLE32(record.breakpointId);
    if (const char* message = TextAt(record.message)) {
        status.message = message;
        while (!status.message.empty() && (status.message.back() == '\r' || status.message.back() == '\n'))
            status.message.pop_back();
    }
    return status;
}

void Session::PrintStatus(const StopStatus& status) {
    out_ << "status: " << CauseText(status.cause) << " (cause " << status.cause << ")";
    if (status.cause == CauseBreakpoint)
        out_ << ", breakpoint " << Hex32(status.breakpointId) << " at " << DescribeBreakpoint(status.breakpointId);
    if (!status.message.empty()) out_ << ": " << status.message;
    out_ << std::endl;
    if (status.cause != CauseRunning && status.cause != CauseUnknownState) {
        if (const auto pc = ReadRegister(kPcId)) out_ << "pc " << DescribeAddress(*pc) << std::endl;
    }
}

bool Session::ShowStatus() {
    const auto status = QueryStatus();
    if (status) PrintStatus(*status);
    return status.has_value();
}

bool Session::Continue() { return Continue(true); }

bool Session::Continue(bool showStatus) {
    InterruptScope interrupts;
    cancelled_ = false;
    firstPoll_ = true;
    if (!CheckRun("DiExecContinue", module_.DiExecContinue())) return false;
    return showStatus ? ShowStatus() : true;
}

bool Session::Finish() {
    const auto lr = ReadRegister(kLrId);
    if (!lr) return false;
    // 0xFxxxxxxx are exception-return codes, not code addresses.
    if (*lr < 2 || *lr >= 0xF0000000u) {
        out_ << "error: LR (" << Hex32(*lr) << ") holds no return address" << std::endl;
        return false;
    }
    const uint64_t returnAddress = *lr & ~1u;
    out_ << "finish: running to the return address " << DescribeAddress(returnAddress) << std::endl;
    const bool ours = std::none_of(breakpoints_.begin(), breakpoints_.end(),
                                   [&](const auto& e) { return e.address == returnAddress; });
    if (ours && !Break({returnAddress, ""})) return false;
    const bool ok = Continue(true);
    if (ours && ok) Delete({returnAddress, ""});
    return ok;
}

bool Session::Step(uint32_t count) {
    InterruptScope interrupts;
    cancelled_ = false;
    firstPoll_ = true;
    if (!CheckRun("DiExecSingleStep", module_.DiExecSingleStep(count))) return false;
    return ShowStatus();
}

bool Session::Stop() {
    if (!Check("DiExecStop", module_.DiExecStop())) return false;
    out_ << "halted" << std::endl;
    return ShowStatus();
}

bool Session::Reset() {
    if (!Check("DiExecResetChild", module_.DiExecResetChild())) return false;
    out_ << "reset: the processor restarts from its vector table" << std::endl;
    if (const auto pc = ReadRegister(kPcId)) out_ << "pc " << DescribeAddress(*pc) << std::endl;
    return true;
}

std::optional<uint32_t> Session::ReadRegister(int32_t id) {
    GdiValue value;
    std::memset(&value, 0, sizeof value);
    if (!Check("DiRegisterRead", module_.DiRegisterRead(id, &value))) return std::nullopt;
    if (LoadLE32(value.status) != ValueValid) {
        out_ << "error: register " << RegisterName(id) << " could not be read (value status "
             << LoadLE32(value.status) << "; were the maps sent?)" << std::endl;
        return std::nullopt;
    }
    return GatherWord(value);
}

bool Session::ShowRegisters() {
    bool ok = true;
    int column = 0;
    for (const RegisterInfo& r : kRegisters) {
        GdiValue value;
        std::memset(&value, 0, sizeof value);
        if (!Check("DiRegisterRead", module_.DiRegisterRead(r.id, &value))) return false;
        char cell[32];
        if (LoadLE32(value.status) == ValueValid)
            std::snprintf(cell, sizeof cell, "%-4s 0x%08x", r.name, GatherWord(value));
        else {
            std::snprintf(cell, sizeof cell, "%-4s (not read)", r.name);
            ok = false;
        }
        out_ << (column % 4 == 0 ? "" : "   ") << cell;
        if (++column % 4 == 0) out_ << "\n";
    }
    if (column % 4 != 0) out_ << "\n";
    if (!ok) out_ << "error: some registers could not be read (were the maps sent?)\n";
    else if (const auto pc = ReadRegister(kPcId)) {
        const std::string symbol = symbols_.Describe(*pc);
        if (!symbol.empty()) out_ << "pc is in " << symbol << "\n";
    }
    out_ << std::flush;
    return ok;
}

std::optional<std::vector<uint8_t>> Session::ReadMemory(uint64_t address, uint32_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        const uint64_t at = address + bytes.size();
        const uint32_t n = std::min<uint32_t>(kTransferValues, count - static_cast<uint32_t>(bytes.size()));
        std::vector<GdiValue> values(n);
        const auto a = RecordToSlots(Address(at));
        if (!Check("DiMemoryRead", module_.DiMemoryRead(a[0], a[1], a[2], values.data(), n))) return std::nullopt;
        // A memory space may deliver fewer values than asked for; the rest
        // carry status 6 and are asked for again.
        uint32_t valid = 0;
        while (valid < n && LoadLE32(values[valid].status) == ValueValid) ++valid;
        if (valid == 0) {
            out_ << "error: memory at " << Hex32(at) << " could not be read (value status "
                 << LoadLE32(values[0].status) << ")" << std::endl;
            return std::nullopt;
        }
        for (uint32_t i = 0; i < valid; ++i) bytes.push_back(values[i].bytes[7]);
    }
    return bytes;
}

bool Session::DumpMemory(const Location& location, uint32_t count) {
    const auto bytes = ReadMemory(location.address, count);
    if (!bytes) return false;
    if (!location.symbol.empty()) out_ << location.symbol << ":\n";
    for (std::size_t row = 0; row < bytes->size(); row += 16) {
        char text[16];
        std::snprintf(text, sizeof text, "%08llx ", static_cast<unsigned long long>(location.address + row));
        out_ << text;
        std::string ascii;
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
    const auto bytes = ReadMemory(location.address, words * 4);
    if (!bytes) return false;
    out_ << (location.symbol.empty() ? Hex32(location.address) : location.symbol) << ": " << words
         << " word" << (words == 1 ? "" : "s") << " at " << Hex32(location.address) << "\n";
    for (uint32_t i = 0; i < words; ++i) {
        const uint8_t* b = bytes->data() + 4 * i;
        const uint32_t word = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        char line[80];
        std::snprintf(line, sizeof line, "  [%2u] %s  0x%08x  %10u\n", i, Hex32(location.address + 4 * i).c_str(), word,
                      word);
        out_ << line;
    }
    out_ << std::flush;
    return true;
}

bool Session::WriteMemory(const Location& location, const std::vector<uint8_t>& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(kTransferValues, bytes.size() - done));
        std::vector<GdiValue> values(n);
        for (uint32_t i = 0; i < n; ++i) {
            std::memset(&values[i], 0, sizeof values[i]);
            values[i].bytes[7] = bytes[done + i];
        }
        const auto a = RecordToSlots(Address(location.address + done));
        if (!Check("DiMemoryWrite", module_.DiMemoryWrite(a[0], a[1], a[2], values.data(), n))) return false;
        done += n;
    }
    out_ << "wrote " << bytes.size() << " byte" << (bytes.size() == 1 ? "" : "s") << " at "
         << DescribeAddress(location.address) << std::endl;
    return true;
}

bool Session::WriteRegister(int32_t id, uint32_t value) {
    GdiValue record;
    std::memset(&record, 0, sizeof record);
    SpreadWord(record, value);
    const auto v = RecordToSlots(record);
    if (!Check("DiRegisterWrite", module_.DiRegisterWrite(id, v[0], v[1], v[2]))) return false;
    // The module does not report a failed register write: read it back.
    const auto now = ReadRegister(id);
    if (!now) return false;
    if (*now != value) {
        out_ << "error: " << RegisterName(id) << " reads " << Hex32(*now) << " after writing " << Hex32(value) << std::endl;
        return false;
    }
    out_ << RegisterName(id) << " = " << Hex32(*now) << std::endl;
    return true;
}

bool Session::Close() {
    if (!Check("DiGdiClose", module_.DiGdiClose(0))) return false;
    open_ = false;
    breakpoints_.clear();
    Session* self = this;
    g_session.compare_exchange_strong(self, nullptr);
    out_ << "closed" << std::endl;
    return true;
}

}  // namespace orxdbg
