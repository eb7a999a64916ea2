// A libFuzzer target for the module's 60 exports.
//
// Each input is one front-end session against the simulated host with a
// scripted processor. The first bytes configure the processor; the rest is a
// sequence of operations, each an opcode byte followed by its arguments:
// calls of any export with arguments taken from the input (counts zero,
// negative and huge, null pointers, caller buffers sized to the count the
// call is given, arbitrary records and map entries), host faults, and changes
// of the processor's state and run behaviour. The calls run on a front-end
// thread while the fuzzer's own thread serves the host's hand-overs as its
// main thread. The encoding is written down in make_corpus.py, which builds
// the seed corpus.
//
// No input can hang the target: every run wait ends through the poll
// callback (which cancels) after a few cycles, and a processor that answers
// more state queries than an input may spend is halted by the harness.
//
// A finding is an abort with a message: a sanitizer report, an export result
// outside its documented set, an out-value written when no instance is open,
// a success reported for an operation that the processor model shows did not
// happen, a memory operation that reached another memory space than the
// family's rule and the map name, a stop status that misreports the run
// state, a run that failed with nothing to end it (a cancel kept from an
// earlier call, say), a stop at a breakpoint that a failed lookup let pass
// as none, a cancelled or abandoned wait that goes on polling, a host object
// kept after the call that looked it up, a host reference leaked once the
// instance is closed, a Nexus method run off the main thread, or a call object
// the host gave back that the module still holds.
//
// The model knows the processor family from the front-end's path on its own
// (ModelFamily), not from the module.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access/RT_ThreadSync.h"
#include "gdi/GDI.h"
#include "gdi/GdiRecords.h"
#include "gdi/diORX.h"
#include "sim/ScriptedProcessor.h"
#include "sim/SimHost.h"
#include "sim/testing/TestProbe.h"
#include "tests/support/FailingAllocator.h"

using namespace gdi;


namespace {

[[noreturn]] void Finding(const char* what, uint64_t detail = 0) {
    std::fprintf(stderr, "==export_fuzzer== FINDING: %s (%llu)\n", what, static_cast<unsigned long long>(detail));
    std::abort();
}

#define REQUIRE(condition, detail)                     \
    do {                                               \
        if (!(condition)) Finding(#condition, detail); \
    } while (0)

// The probe on the host, attached for the whole run and never detached: the
// module may still give calls back at exit.
sim::TestProbe& Probe() {
    static sim::TestProbe* const probe = new sim::TestProbe(sim::Host::Instance());
    return *probe;
}

// ---- Input -----------------------------------------------------------------

// Reads the input front to back; past the end every read yields 0.
class Input {
public:
    Input(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool Empty() const { return p_ >= end_; }
    uint8_t U8() { return p_ < end_ ? *p_++ : 0; }
    // Little-endian; each read in its own statement, so the order is fixed.
    uint16_t U16() {
        const uint8_t low = U8();
        return static_cast<uint16_t>(low | U8() << 8);
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | uint32_t(U16()) << 16;
    }
    uint64_t U64() {
        const uint64_t low = U32();
        return low | uint64_t(U32()) << 32;
    }
    bool Bit() { return U8() & 1; }
    std::string Bytes(std::size_t max) {
        const std::size_t n = std::min<std::size_t>(U8() % (max + 1), static_cast<std::size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Counts as a front-end might pass them: mostly small, sometimes at a
// boundary of the module's buffers, sometimes negative or huge.
uint32_t PickCount(Input& in) {
    static constexpr uint32_t special[] = {0,     1,     2,          1023,       1024,       1025,
                                           4096,  65535, 65536,      65537,      0x7FFFFFFF, 0x80000000,
                                           0xFFFFFFFF, 0xFFFFFFFE, 0x40000000, 0x15555556};
    const uint8_t selector = in.U8();
    if (selector < 0xC0) return selector % 24;
    if (selector < 0xF0) return special[selector % 16];
    return in.U32();
}

int32_t PickId(Input& in) {
    static constexpr int32_t ids[] = {0, 1, 2, 3, 5, 10, 11, 12, 13, 20, -1, -2, 0x7FFFFFFF, INT32_MIN, 7, 4};
    const uint8_t selector = in.U8();
    return selector < 0xE0 ? ids[selector % 16] : static_cast<int32_t>(in.U32());
}

uint64_t PickAddress(Input& in, uint32_t pc) {
    const uint8_t selector = in.U8();
    switch (selector % 16) {
        case 0: return 0;
        case 1: return pc;
        case 2: return uint32_t(pc - 1);
        case 3: return uint32_t(pc + 1);
        case 4: return uint32_t(pc + 4);
        case 5: return 0xFFFFFFFFu;
        case 6: return 0x100000000u;
        case 7: return ~uint64_t{0};
        case 8: return 0x1000;
        case 9: return 0xFFFFFFFFFFFFFFF0u;
        case 10: return in.U32();
        case 11: return in.U64();
        default: return in.U8() * 4u;
    }
}

uint32_t PickStatus(Input& in) {
    static constexpr uint32_t statuses[] = {0x80004005u, 0x8000FFFFu, 0x80000000u, 0xFFFFFFFFu};
    return statuses[in.U8() % 4];
}

// Texts for names, designators and paths: the ones that match something in
// the simulated host, near misses, and whatever the input holds.
struct TextPool {
    std::vector<std::unique_ptr<std::string>> owned;
    const char* Pick(Input& in, const char* const* dictionary, std::size_t n) {
        const uint8_t selector = in.U8();
        if (selector % 8 == 7) {
            owned.push_back(std::make_unique<std::string>(in.Bytes(24)));
            return owned.back()->c_str();
        }
        return dictionary[selector % n];  // may be null
    }
};

constexpr const char* PathNames[] = {"C:\\Tools\\qdvlx32.exe", "C:\\Tools\\qdvarm.exe", "C:\\qdv51\\qdvarm.exe",
                                     "/opt/qdvppc",           "qdvnios",               "qdvz80qdvmb",
                                     "qdvlx8",                "C:\\TOOLS\\QDVARM.EXE", "",
                                     nullptr,                 "CPU",                   "qdvmb"};
constexpr const char* Designators[] = {"CPU", "cpu", "NOPROC", "MISSING", "", nullptr, "CPU ", "-p"};
constexpr const char* RegisterNames[] = {"PC", "R0", "R1", "SP", "r0", "sp", "", nullptr, "DATA", "R0 ", "X\xE9"};
constexpr const char* SpaceNames[] = {"DATA", "CODE", "data", "Code", "", nullptr, "PC", "DAT", "X\xE9"};

constexpr const char* FaultMethods[] = {
    "GetNexusWorkspace",
    "IClient::LoadServerModule",
    "INexusWorkspace::FindByDesignator",
    "INexusComponent::GetProcessorInterface",
    "INexusProcessor::Reset",
    "INexusProcessor::Pause",
    "INexusProcessor::Continue",
    "INexusProcessor::StepProcessor",
    "INexusProcessor::IsHalted",
    "INexusProcessor::IsNotStarted",
    "INexusProcessor::IsRunning",
    "INexusProcessor::GetRegisterCount",
    "INexusProcessor::GetMemorySpaceCount",
    "INexusProcessor::GetMemorySpace",
    "INexusProcessor::GetRegister",
    "INexusProcessor::GetPcRegister",
    "INexusProcessor::GetBreakpointSpace",
    "INexusProcessor::FindBreakpoint",
    "INexusProcessor::AddBreakpoint",
    "INexusProcessor::RemoveBreakpoint",
    "INexusProcessor::RemoveAllBreakpoints",
    "INexusRegister::GetName",
    "INexusRegister::ReadValue",
    "INexusRegister::WriteValue",
    "INexusMemorySpace::GetName",
    "INexusMemorySpace::GetTransferLimit",
    "INexusMemorySpace::ReadBlock",
    "INexusMemorySpace::WriteBlock",
    "INexusMemorySpace::BeginDownload",
    "INexusMemorySpace::EndDownload",
    "INexusBreakpointSpace::GetSpaceId",
    "INexusBreakpoint::GetAddress",
};
constexpr std::size_t FaultMethodCount = sizeof FaultMethods / sizeof FaultMethods[0];

// Largest caller buffers the harness builds; larger counts go with a null
// pointer.
constexpr uint32_t MaxValues = 70000;
constexpr uint32_t MaxDownloadBytes = 5000;
constexpr uint32_t MaxMapEntries = 64;
constexpr uint32_t MaxArgs = 24;

// What one input may spend: processor state queries (each wait cycle makes
// one to three, a single step polls more), and poll cycles per wait.
constexpr int StateQueryBudget = 512;
constexpr int StateReadBudget = 24;
constexpr int PollCyclesPerWait = 6;
constexpr int MaxOps = 96;

// ---- The processor -----------------------------------------------------------

// The scripted processor with a spending limit: once an input has asked more
// state questions than it may, the processor halts and every later run ends
// at once.
class FuzzProcessor : public sim::ScriptedProcessor {
public:
    std::atomic<int> queries{0};
    std::atomic<int> stateReads{0};
    std::atomic<bool> exhausted{false};
    // Run control that reached the processor.
    std::atomic<int> continues{0}, steps{0};
    std::atomic<bool> paused{false};

    void Pause() override {
        paused = true;
        ScriptedProcessor::Pause();
    }

    // Set when a state query ended a run before any run control of the
    // current call: a run forced on with a count of queries left over from
    // an earlier one can end at the module's very first look.
    std::atomic<bool> endedByQueryFirst{false};
    std::atomic<int> runControlAtCall{0};  // continues + steps as the call began

    bool IsHalted() override {
        Spend();
        return Queried([this] { return ScriptedProcessor::IsHalted(); });
    }
    bool IsNotStarted() override {
        ++stateReads;
        Spend();
        return Queried([this] { return ScriptedProcessor::IsNotStarted(); });
    }
    bool IsRunning() override {
        Spend();
        return Queried([this] { return ScriptedProcessor::IsRunning(); });
    }
    template <class Query>
    bool Queried(Query query) {
        const bool runningBefore = state() == State::Running;
        const bool answer = query();
        if (runningBefore && state() != State::Running && continues + steps == runControlAtCall) endedByQueryFirst = true;
        return answer;
    }
    void Continue() override {
        ++continues;
        ScriptedProcessor::Continue();
        if (exhausted) Pause();
    }
    void Step(uint32_t count) override {
        ++steps;
        ScriptedProcessor::Step(count);
        if (exhausted) Pause();
        if (cancelOnStep) {
            // The user presses stop while the host is stepping.
            cancelOnStep = false;
            cancelledDuringStep = DiGdiCancel() == GdiOk;
        }
    }
    std::atomic<bool> cancelOnStep{false};
    std::atomic<bool> cancelledDuringStep{false};
    void Exhaust() {
        exhausted = true;
        answersAllFalse = false;
        Pause();
    }

    // The memory spaces (host indexes) that block transfers and download
    // steps reached, in order, since the last time they were taken.
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override {
        Reached(index);
        return ScriptedProcessor::ReadBlock(index, buffer, address, count);
    }
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override {
        Reached(index);
        return ScriptedProcessor::WriteBlock(index, buffer, address, count);
    }
    bool BeginDownload(int32_t index) override {
        Reached(index);
        return ScriptedProcessor::BeginDownload(index);
    }
    bool EndDownload(int32_t index) override {
        Reached(index);
        return ScriptedProcessor::EndDownload(index);
    }
    std::vector<int32_t> TakeSpacesReached() {
        const std::lock_guard<std::mutex> guard(spacesLock_);
        return std::exchange(spacesReached_, {});
    }

private:
    void Spend() {
        if (++queries > StateQueryBudget || stateReads > StateReadBudget) Exhaust();
    }
    void Reached(int32_t index) {
        const std::lock_guard<std::mutex> guard(spacesLock_);
        spacesReached_.push_back(index);
    }
    std::mutex spacesLock_;
    std::vector<int32_t> spacesReached_;
};

// ---- Session state -------------------------------------------------------------

struct Session {
    std::shared_ptr<FuzzProcessor> cpu;
    bool open = false;  // an instance is current, as far as the front-end knows
    // The family its front-end path selects, and whether that is ARM.
    CpuFamily family = FamilyLx32;
    bool arm = false;
    bool usedDoneNever = false;

    // The module's view of the target, modelled from what the front-end
    // sent: the instance's processor is the scripted one ("CPU"), and the
    // maps from GDI ids to names as the current instance holds them.
    bool onCpu = false;
    bool mapsKnown = true;  // false after a map replace that ran out of memory
    std::vector<std::pair<std::string, int32_t>> registerMap, spaceMap;
    int32_t pcId = -1;
    // Methods answering an injected failure; while there are any, a read may
    // report "not read" and a run may fail, but what is reported as read or
    // done must still match the model.
    std::set<std::string> faults;
    // The next export call has its n-th allocation on this thread fail
    // (-1: none).
    int allocationFault = -1;
    bool allocationFailed = false;

    // Poll callback plan and bookkeeping.
    int pollActionAt = 0;  // cycle of the current wait that acts; 0 none
    int pollAction = 0;
    int cyclesThisWait = 0;
    int callbacks = 0;        // in the current export call
    bool cancelledInCallback = false;
    bool reopenedInCallback = false;
    bool closedInCallback = false;
    int lastWaitCallbacks = 0;

    // The last continue stopped at a breakpoint, with the PC here, and
    // nothing has touched the processor since: the status must name it (or
    // 0 when the module could not learn which).
    struct BreakpointStop {
        uint32_t pc;
        uint32_t id;
    };
    std::optional<BreakpointStop> breakpointStop;
};

Session g;

void DI_CDECL PollCallback();

// The family a front-end path selects, as the model knows it: the first of
// these names found anywhere in the path, case-sensitive, in this order
// whatever their positions; none, or no path, selects Lx32.
CpuFamily ModelFamily(const char* path) {
    static constexpr std::pair<std::string_view, CpuFamily> names[] = {
        {"qdvlx8", FamilyLx8}, {"qdvlx32", FamilyLx32},     {"qdv51", Family51},     {"qdvppc", FamilyPpc},
        {"qdvarm", FamilyArm}, {"qdvmb", FamilyMicroBlaze}, {"qdvnios", FamilyNios}, {"qdvz80", FamilyZ80},
    };
    if (!path) return FamilyLx32;
    const std::string_view text(path);
    for (const auto& [name, family] : names)
        if (text.find(name) != std::string_view::npos) return family;
    return FamilyLx32;
}

// A new instance: empty maps, the program counter id -1.
void Opened(bool open, CpuFamily family, const char* designator) {
    g.open = open;
    g.family = family;
    g.arm = open && family == FamilyArm;
    g.onCpu = open && designator && std::strcmp(designator, "CPU") == 0;
    g.mapsKnown = true;
    g.registerMap.clear();
    g.spaceMap.clear();
    g.pcId = -1;
}

void OpenStandard(bool withCallback) {
    const char* argv[] = {"C:\\Tools\\qdvlx32.exe", "-p", "CPU"};
    const uint32_t result = DiGdiOpen(0, 0, 3, argv, withCallback ? &PollCallback : nullptr);
    REQUIRE(result == GdiOk || result == GdiFailed, result);
    Opened(result == GdiOk, ModelFamily(argv[0]), "CPU");
}

// ---- The model of the module's lookups -------------------------------------------

bool NamesMatch(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

const std::string* FirstNameFor(const std::vector<std::pair<std::string, int32_t>>& map, int32_t id) {
    for (const auto& [name, value] : map)
        if (value == id) return &name;
    return nullptr;
}

// The model register a GDI register id reaches; -1 for none, Unknown when
// the maps the module holds are not known.
constexpr int32_t Unknown = -2;
int32_t ModelRegister(int32_t id) {
    if (!g.onCpu) return -1;
    if (!g.mapsKnown) return Unknown;
    FuzzProcessor& cpu = *g.cpu;
    if (id == -1) id = g.pcId;
    if (id == g.pcId) return cpu.PcIndex();
    const std::string* name = FirstNameFor(g.registerMap, id);
    if (!name) return -1;
    const int32_t count = std::min(cpu.RegisterCount(), int32_t(4));
    for (int32_t i = 0; i < count; ++i)
        if (NamesMatch(cpu.RegisterName(i), *name)) return i;
    return -1;
}

// The model memory space a GDI address reaches; -1 for none. On ARM every
// address is on the front-end's space 0; every other family takes the space
// id the address names.
int32_t ModelSpace(uint32_t spaceId) {
    if (!g.onCpu) return -1;
    if (!g.mapsKnown) return Unknown;
    const std::string* name = FirstNameFor(g.spaceMap, g.arm ? 0 : static_cast<int32_t>(spaceId));
    if (!name) return -1;
    const int32_t count = std::min(g.cpu->MemorySpaceCount(), int32_t(2));
    for (int32_t i = 0; i < count; ++i)
        if (NamesMatch(g.cpu->MemorySpaceName(i), *name)) return i;
    return -1;
}

// Every memory operation of the call reached the space the model names for
// the request's space id, and none reached any when the model names none.
void CheckSpacesReached(uint32_t spaceId, unsigned index) {
    const int32_t model = ModelSpace(spaceId);
    for (const int32_t reached : g.cpu->TakeSpacesReached())
        if (model != Unknown && reached != model)
            Finding("a memory operation reached another memory space than the family and map name",
                    uint64_t(index) << 48 | uint64_t(g.family) << 40 | uint64_t(uint32_t(model + 1)) << 32 |
                        uint32_t(reached));
}

// No host failure is armed and the processor answers as it should: a read
// must then read, a run must run.
bool Faultless() { return g.faults.empty() && !g.cpu->answersAllFalse && !g.allocationFailed; }

// Runs one export call with the armed allocation failure, if any.
template <class Call>
uint32_t Armed(Call call) {
    g.allocationFailed = false;
    if (g.allocationFault >= 0) alloctest::FailAllocation(std::exchange(g.allocationFault, -1));
    const uint32_t result = call();
    g.allocationFailed = alloctest::Disarm();
    return result;
}

// The harness's own work inside an export call (the poll callback) is never
// made to fail.
class AllocationsUncounted {
public:
    AllocationsUncounted() : saved_(alloctest::Suspend()) {}
    ~AllocationsUncounted() { alloctest::Resume(saved_); }
    AllocationsUncounted(const AllocationsUncounted&) = delete;
    AllocationsUncounted& operator=(const AllocationsUncounted&) = delete;

private:
    int saved_;
};

// Called once per cycle of a run wait, on the waiting thread.
void DI_CDECL PollCallback() {
    AllocationsUncounted uncounted;
    if (g.cancelledInCallback && !g.reopenedInCallback && !g.closedInCallback)
        Finding("a wait went on polling after it was cancelled", g.callbacks);
    // Opening again abandons the instance whose wait called back: like a
    // close, that ends the wait.
    if (g.reopenedInCallback)
        Finding("the wait of an abandoned instance went on polling", g.callbacks);
    ++g.callbacks;
    ++g.cyclesThisWait;
    if (g.cyclesThisWait == g.pollActionAt) {
        switch (g.pollAction) {
            case 1:
                REQUIRE(DiGdiCancel() == (g.open ? GdiOk : GdiFailed), g.open);
                g.cancelledInCallback = g.open;
                break;
            case 2: {
                const uint32_t result = DiGdiClose(0);
                REQUIRE(result == (g.open ? GdiOk : GdiFailed), result);
                g.closedInCallback = g.closedInCallback || g.open;
                g.open = false;
                break;
            }
            case 3:
                OpenStandard(true);
                g.reopenedInCallback = true;
                break;
            case 4: g.cpu->Pause(); break;
            case 5:
                Probe().InjectFault("INexusProcessor::IsRunning", sim::E_FAIL);
                g.faults.insert("INexusProcessor::IsRunning");
                break;
            case 6: {
                GdiExitStatus status;
                DiExecGetStatus(&status);
                break;
            }
            default: break;
        }
    }
    if (g.cyclesThisWait >= PollCyclesPerWait || g.cpu->exhausted) {
        // Long enough: stop the processor and cancel, as a user would.
        g.cpu->Exhaust();
        if (g.open && DiGdiCancel() == GdiOk) g.cancelledInCallback = true;
    }
}

// ---- Checks on results -----------------------------------------------------------

// Success means it happened: checked against the processor model.
void ExpectHappened(bool happened, const char* what, uint64_t detail) {
    if (!happened) Finding(what, detail);
}

bool AnyRegisterHolds(uint32_t word) {
    for (int32_t i = 0; i < 4; ++i)
        if (g.cpu->ReadRegister(i) == word) return true;
    return false;
}

// Some memory space holds the words at address onwards (compared in their low
// 16 bits, all that a memory write promises to carry).
bool AnySpaceHolds(uint64_t address, const std::vector<uint32_t>& words) {
    for (int32_t space = 0; space < 2; ++space) {
        bool all = true;
        for (std::size_t i = 0; all && i < words.size(); ++i)
            all = (g.cpu->Word(space, address + i) & 0xFFFF) == (words[i] & 0xFFFF);
        if (all) return true;
    }
    return false;
}

bool Running() { return g.cpu->state() == sim::ScriptedProcessor::State::Running; }

extern const bool g_Trace;

void ExpectForwarded(uint32_t result, std::initializer_list<uint32_t> whenOpen, uint32_t detail) {
    if (g_Trace) std::fprintf(stderr, "  -> %u\n", result);
    if (!g.open) {
        if (result != GdiFailed) Finding("a forwarding export returned other than 7 with no instance open", detail);
        return;
    }
    for (uint32_t allowed : whenOpen)
        if (result == allowed) return;
    Finding("an export returned a code outside its documented set", uint64_t(detail) << 32 | result);
}

// A sentinel-filled caller buffer: exactly the bytes the call may use, so
// that the sanitizer sees any access beyond them.
struct Buffer {
    std::unique_ptr<uint8_t[]> bytes;
    std::size_t size = 0;
    explicit Buffer(std::size_t n) : bytes(new uint8_t[n ? n : 1]), size(n) { std::memset(bytes.get(), 0xA5, size); }
    uint8_t* Get() { return bytes.get(); }
    bool Untouched() const {
        for (std::size_t i = 0; i < size; ++i)
            if (bytes[i] != 0xA5) return false;
        return true;
    }
};

bool IsKnownMessage(const char* message) {
    return !message || std::strcmp(message, "CPU hasn't started executing yet.\r") == 0 ||
           std::strcmp(message, "CPU has entered an unknown state.\r") == 0;
}

GdiAddress MakeAddress(uint32_t spaceId, uint64_t address) {
    GdiAddress a;
    StoreLE32(a.spaceId, spaceId);
    for (int i = 0; i < 8; ++i) a.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return a;
}

uint32_t PickSpaceId(Input& in) { return static_cast<uint32_t>(PickId(in)); }

std::vector<GdiMapEntry> MakeMap(Input& in, uint32_t count, TextPool& texts, bool registers) {
    std::vector<GdiMapEntry> entries(count);
    for (auto& e : entries) {
        std::memset(&e, 0xEE, sizeof e);
        const char* name = registers ? texts.Pick(in, RegisterNames, std::size(RegisterNames))
                                     : texts.Pick(in, SpaceNames, std::size(SpaceNames));
        StorePointer(e.name, name);
        StoreLE32(e.id, static_cast<uint32_t>(PickId(in)));
    }
    return entries;
}

// ---- Runs ---------------------------------------------------------------------------

bool ModelBreakpointAt(uint32_t address) {
    const auto space = g.cpu->BreakpointSpaceId();
    return space && g.cpu->HasBreakpoint(*space, address);
}

// A step or continue that returned 0: it ran as the processor model shows,
// it left every breakpoint where it was (a lifted one set again), and the
// status names the stop it made. What a continue makes of its stop holds
// whatever failed on the way: a breakpoint lookup that fails is no answer,
// and the call that met it cannot have succeeded.
void CheckRun(bool isContinue, uint32_t count, bool runningBefore, uint32_t pcBefore, int continuesBefore,
              int stepsBefore, const std::set<uint64_t>& breakpointsBefore) {
    FuzzProcessor& cpu = *g.cpu;
    REQUIRE(cpu.Breakpoints() == breakpointsBefore, cpu.Breakpoints().size());
    if (!g.onCpu || cpu.answersAllFalse) return;
    const bool faultless = Faultless();
    const uint32_t pc = cpu.Pc();
    const bool naturalEnd = !cpu.paused;
    if (isContinue) {
        // A halted processor is stepped off its position once, then continued;
        // so is one whose run ended at the module's first look.
        const bool startedHere = !runningBefore || cpu.endedByQueryFirst;
        const int firstSteps = startedHere ? 1 : 0;
        if (faultless) {
            REQUIRE(cpu.steps - stepsBefore == firstSteps, cpu.steps - stepsBefore);
            REQUIRE(cpu.continues - continuesBefore == firstSteps, cpu.continues - continuesBefore);
        }
        // A run that ended by itself stopped where the program says; off ARM
        // the module moves the PC back onto a breakpoint just before it.
        if (naturalEnd && startedHere && cpu.onContinue.stopPc) {
            const uint32_t stop = *cpu.onContinue.stopPc;
            const bool pastBreakpoint = !g.arm && ModelBreakpointAt(stop - 1);
            REQUIRE(pc == (pastBreakpoint ? stop - 1 : stop), uint64_t(stop) << 32 | pc);
        }
    } else if (faultless) {
        REQUIRE(cpu.steps - stepsBefore == 1, cpu.steps - stepsBefore);
        REQUIRE(cpu.continues == continuesBefore, cpu.continues - continuesBefore);
        if (naturalEnd)
            REQUIRE(pc == (cpu.onStep.stopPc ? *cpu.onStep.stopPc : pcBefore + cpu.stepSize * count), pc);
    }
    if (cpu.state() != sim::ScriptedProcessor::State::Halted) return;
    GdiExitStatus status;
    const uint32_t statusResult = DiExecGetStatus(&status);
    if (faultless) REQUIRE(statusResult == GdiOk, pc);
    if (statusResult != GdiOk) return;
    const uint32_t cause = LoadLE32(status.cause), id = LoadLE32(status.breakpointId);
    if (!isContinue) {
        REQUIRE(cause == CauseSingleStep, cause);
        return;
    }
    // Stopped on a breakpoint: cause 4 and its id; otherwise stopped. The id
    // is 0 when a failing host call kept the module from learning it.
    const bool armAfter = g.arm && ModelBreakpointAt(pc + 1);
    const bool onBreakpoint = ModelBreakpointAt(pc) || armAfter;
    REQUIRE(cause == (onBreakpoint ? CauseBreakpoint : CauseStopped), uint64_t(g.family) << 32 | cause);
    if (!onBreakpoint) return;
    const uint32_t expectedId = armAfter ? pc + 1 : pc;
    REQUIRE(id == expectedId || (!faultless && id == 0), uint64_t(expectedId) << 32 | id);
    g.breakpointStop = Session::BreakpointStop{pc, expectedId};
}

// ---- One export call ---------------------------------------------------------------

void CallExport(unsigned index, Input& in, TextPool& texts) {
    // Any call but the status may change the PC, the breakpoints or the cause.
    if (index != 35) g.breakpointStop.reset();
    g.callbacks = 0;
    g.cyclesThisWait = 0;
    g.cancelledInCallback = g.reopenedInCallback = g.closedInCallback = false;
    const uint32_t pc = g.cpu->Pc();
    switch (index) {
        case 0: {  // DiGdiOpen
            const uint32_t argc = PickCount(in);
            const bool nullVector = in.U8() % 8 == 0;
            std::vector<const char*> argv;
            if (static_cast<int32_t>(argc) > 0 && argc <= MaxArgs) {
                for (uint32_t i = 0; i < argc; ++i)
                    argv.push_back(i == 0 ? texts.Pick(in, PathNames, std::size(PathNames))
                                          : texts.Pick(in, Designators, std::size(Designators)));
            } else if (static_cast<int32_t>(argc) <= 0) {
                argv.push_back(PathNames[0]);  // must not be read
            }
            const bool callback = in.U8() % 4 != 0;
            const uint32_t word0 = in.U32();
            const uint32_t word1 = in.U32();
            const char* const* vector = nullVector || argv.empty() ? nullptr : argv.data();
            const uint32_t result = Armed([&] {
                return DiGdiOpen(word0, word1, static_cast<int32_t>(argc), vector, callback ? &PollCallback : nullptr);
            });
            REQUIRE(result == GdiOk || result == GdiFailed, result);
            const bool entries = vector && static_cast<int32_t>(argc) > 0;
            Opened(result == GdiOk, ModelFamily(entries ? argv[0] : nullptr), entries ? argv[argc - 1] : "");
            break;
        }
        case 1: {  // DiGdiClose
            const uint32_t result = DiGdiClose(in.U32());
            ExpectForwarded(result, {GdiOk}, index);
            g.open = false;
            break;
        }
        case 2: {  // DiGdiGetFeatures
            const bool null = in.U8() % 8 == 0;
            Buffer features(GdiFeaturesSize);
            const uint32_t result = DiGdiGetFeatures(null ? nullptr : features.Get());
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (!g.open && !null) REQUIRE(features.Untouched(), index);
            if (g.open && !null && result == GdiOk) {
                const char* name;
                std::memcpy(&name, features.Get(), sizeof name);
                REQUIRE(name && std::strcmp(name, "ORX GDI") == 0, index);
                REQUIRE(LoadLE32(features.Get() + FeaturesOffset(8)) == 1, index);
                // Two words tell ARM from the other families.
                REQUIRE(LoadLE32(features.Get() + FeaturesOffset(48)) == (g.arm ? 128u : 0u), g.family);
                REQUIRE(LoadLE32(features.Get() + FeaturesOffset(52)) == (g.arm ? 1024u : 0u), g.family);
            }
            break;
        }
        case 3: ExpectForwarded(DiGdiSetConfig(in.U32()), {GdiOk}, index); break;
        case 4:     // DiGdiInitIO
        case 13:    // DiErrorGetMessage
        case 58: {  // DiGdiVersion
            const bool null = in.U8() % 8 == 0;
            uint32_t value = 0xA5A5A5A5u;
            uint32_t* out = null ? nullptr : &value;
            const uint32_t result =
                index == 4 ? DiGdiInitIO(out) : index == 13 ? DiErrorGetMessage(out) : DiGdiVersion(out);
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (!g.open) REQUIRE(value == 0xA5A5A5A5u, index);
            if (g.open && !null && result == GdiOk) REQUIRE(value == (index == 58 ? GdiVersion : 0u), value);
            break;
        }
        case 5:     // DiGdiInitRegisterMap
        case 6: {   // DiGdiInitMemorySpaceMap
            const uint32_t count = PickCount(in);
            const bool fits = static_cast<int32_t>(count) <= static_cast<int32_t>(MaxMapEntries);
            const bool null = !fits || in.U8() % 8 == 0;
            std::vector<GdiMapEntry> entries =
                MakeMap(in, fits && static_cast<int32_t>(count) > 0 ? count : in.U8() % 2, texts, index == 5);
            const int32_t pcId = index == 5 ? PickId(in) : 0;
            GdiMapEntry* pointer = null ? nullptr : entries.data();
            const uint32_t result = Armed([&] {
                return index == 5 ? DiGdiInitRegisterMap(static_cast<int32_t>(count), pointer, pcId)
                                  : DiGdiInitMemorySpaceMap(static_cast<int32_t>(count), pointer);
            });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (g.open && result == GdiOk) {
                // The instance's map is now exactly these entries.
                auto& map = index == 5 ? g.registerMap : g.spaceMap;
                map.clear();
                for (int32_t i = 0; pointer && i < static_cast<int32_t>(count); ++i) {
                    const char* name;
                    std::memcpy(&name, entries[i].name, sizeof name);
                    map.emplace_back(name ? name : "", static_cast<int32_t>(LoadLE32(entries[i].id)));
                }
                if (index == 5) g.pcId = pcId;
            } else if (g.open && g.allocationFailed) {
                // A map half replaced: what the module holds is not known.
                g.mapsKnown = false;
            }
            if (g.open && result == GdiOk && pointer)
                for (int32_t i = 0; i < static_cast<int32_t>(count); ++i) {
                    REQUIRE(entries[i].accepted == 1, i);
                    for (uint8_t byte : entries[i].notTouched) REQUIRE(byte == 0xEE, i);
                }
            break;
        }
        case 8: ExpectForwarded(DiGdiCancel(), {GdiOk}, index); break;
        case 18: {  // DiMemoryDownload
            const uint32_t flag = in.U32();
            const uint32_t step = in.U8() % 8 < 6 ? in.U8() % 5 : in.U32();
            const uint32_t byteCount = PickCount(in);
            const bool fits = byteCount <= MaxDownloadBytes;
            const bool null = !fits || in.U8() % 8 == 0;
            GdiDownloadFormat format;
            StoreLE32(format.format, in.U32());
            StoreLE32(format.byteCount, byteCount);
            const uint32_t space = PickSpaceId(in);
            format.start = MakeAddress(space, PickAddress(in, pc));
            // The bytes follow from one seed byte: long blocks without long
            // inputs, and no run of zeros that an empty memory would match.
            std::vector<uint8_t> data(fits ? byteCount : 0);
            const uint8_t seed = in.U8();
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + 1 + i % 251);
            const uint32_t result =
                Armed([&] { return DiMemoryDownload(flag, step, format, null ? nullptr : data.data()); });
            ExpectForwarded(result, {GdiOk, GdiDownloadFailed, GdiFailed}, index);
            CheckSpacesReached(space, index);
            if (g.open && step > 3) REQUIRE(result == GdiDownloadFailed, result);
            if (g.open && step == 1 && result == GdiOk && !null && !data.empty()) {
                const std::vector<uint32_t> words(data.begin(), data.end());
                const int32_t model = ModelSpace(space);
                if (model >= 0) {
                    for (std::size_t i = 0; i < words.size(); ++i)
                        REQUIRE(g.cpu->Word(model, AddressToUInt64(format.start) + i) == words[i], i);
                } else {
                    REQUIRE(model == Unknown, space);
                    REQUIRE(AnySpaceHolds(AddressToUInt64(format.start), words), data.size());
                }
            }
            break;
        }
        case 19:    // DiMemoryWrite
        case 20: {  // DiMemoryRead
            const uint32_t space = PickSpaceId(in);
            const GdiAddress address = MakeAddress(space, PickAddress(in, pc));
            const uint32_t count = PickCount(in);
            // A read takes the count as unsigned, a write as signed: a caller
            // that passes a count it has no buffer for passes null.
            const bool fits = count <= MaxValues;
            const bool needsBuffer = index == 20 || static_cast<int32_t>(count) > 0;
            const bool null = (!fits && needsBuffer) || in.U8() % 8 == 0;
            const uint32_t n = fits ? count : 0;
            Buffer values(std::size_t{n} * sizeof(GdiValue));
            if (index == 19)
                for (std::size_t i = 0; i < values.size; ++i) values.Get()[i] = in.U8();
            auto* pointer = null ? nullptr : reinterpret_cast<GdiValue*>(values.Get());
            if (index == 19) {
                const uint32_t result = Armed([&] { return DiMemoryWrite(address, pointer, count); });
                ExpectForwarded(result, {GdiOk, GdiFailed}, index);
                CheckSpacesReached(space, index);
                if (g.open && result == GdiOk && pointer && n > 0) {
                    std::vector<uint32_t> words(n);
                    for (uint32_t i = 0; i < n; ++i) words[i] = GatherWord(pointer[i]);
                    REQUIRE(AnySpaceHolds(AddressToUInt64(address), words), n);
                }
            } else {
                const uint32_t result = Armed([&] { return DiMemoryRead(address, pointer, count); });
                ExpectForwarded(result, {GdiOk, GdiFailed}, index);
                CheckSpacesReached(space, index);
                if (!g.open) REQUIRE(values.Untouched(), index);
                if (g.open && result == GdiOk && pointer) {
                    // Values marked valid are what the memory holds: the
                    // first ones, as many as one block of the space carries.
                    const int32_t model = ModelSpace(space);
                    const uint32_t block = model >= 0 ? std::min(n, g.cpu->Space(model).transferLimit) : 0;
                    std::vector<uint32_t> valid;
                    for (uint32_t i = 0; i < n; ++i) {
                        const GdiValue& v = pointer[i];
                        const uint32_t status = LoadLE32(v.status);
                        REQUIRE(status == ValueValid || status == MemoryNotRead, status);
                        if (status == ValueValid) {
                            REQUIRE(LoadBE32(v.bytes) == 0 && valid.size() == i, i);
                            valid.push_back(GatherWord(v));
                        }
                    }
                    if (model >= 0) {
                        REQUIRE(valid.size() <= block, valid.size());
                        for (std::size_t i = 0; i < valid.size(); ++i)
                            REQUIRE(g.cpu->Word(model, AddressToUInt64(address) + i) == valid[i], i);
                        // Nothing failed: the whole block was read.
                        if (Faultless()) REQUIRE(valid.size() == block, valid.size());
                    } else {
                        REQUIRE(model == Unknown || valid.empty(), valid.size());
                        for (int32_t s = 0; s < 2 && !valid.empty(); ++s) {
                            bool all = true;
                            for (std::size_t i = 0; all && i < valid.size(); ++i)
                                all = g.cpu->Word(s, AddressToUInt64(address) + i) == valid[i];
                            if (all) valid.clear();
                        }
                        REQUIRE(valid.empty(), valid.size());
                    }
                }
            }
            break;
        }
        case 21: {  // DiRegisterWrite
            const int32_t id = PickId(in);
            // The value's 12 bytes straight from the input, status and the
            // unread upper bytes included.
            GdiValue value;
            StoreLE32(value.bytes, in.U32());
            StoreLE32(value.bytes + 4, in.U32());
            StoreLE32(value.status, in.U32());
            const uint32_t result = Armed([&] { return DiRegisterWrite(id, value); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            const uint32_t word = GatherWord(value);
            if (g.open && result == GdiOk) {
                const int32_t model = ModelRegister(id);
                REQUIRE(model != -1, id);
                if (model >= 0)
                    ExpectHappened(g.cpu->ReadRegister(model) == word, "a register write reported success", word);
                else
                    ExpectHappened(AnyRegisterHolds(word), "a register write reported success", word);
            }
            break;
        }
        case 22: {  // DiRegisterRead
            const int32_t id = PickId(in);
            const bool null = in.U8() % 8 == 0;
            Buffer value(sizeof(GdiValue));
            const uint32_t result =
                Armed([&] { return DiRegisterRead(id, null ? nullptr : reinterpret_cast<GdiValue*>(value.Get())); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (!g.open) REQUIRE(value.Untouched(), index);
            if (g.open && !null && result == GdiOk) {
                const auto& v = *reinterpret_cast<const GdiValue*>(value.Get());
                const uint32_t status = LoadLE32(v.status);
                REQUIRE(status == ValueValid || status == RegisterNotRead, status);
                REQUIRE(LoadBE32(v.bytes) == 0, status);
                if (status == RegisterNotRead) REQUIRE(LoadBE32(v.bytes + 4) == 0, status);
                // A value marked read is the register's; with nothing
                // failing, a register the maps reach is read.
                const int32_t model = ModelRegister(id);
                if (status == ValueValid && model >= 0) REQUIRE(GatherWord(v) == g.cpu->ReadRegister(model), model);
                if (status == ValueValid && model == -1) Finding("a register no map reaches was read", id);
                if (status == ValueValid && model == Unknown) REQUIRE(AnyRegisterHolds(GatherWord(v)), id);
                if (Faultless() && model >= 0) REQUIRE(status == ValueValid, id);
            }
            break;
        }
        case 27: {  // DiBreakpointSet
            const bool null = in.U8() % 8 == 0;
            GdiBreakpoint request;
            for (auto& b : reinterpret_cast<uint8_t(&)[sizeof request]>(request)) b = 0x5A;
            const uint8_t kindSelector = in.U8();
            const uint32_t kind = kindSelector < 0xD0 ? 1 : kindSelector < 0xF0 ? kindSelector % 4 : in.U32();
            StoreLE32(request.kind, kind);
            const uint64_t address = PickAddress(in, pc);
            request.location = MakeAddress(PickSpaceId(in), address);
            StoreLE32(request.qualifier, in.U8() % 2 ? 2 : in.U32());
            Buffer result(sizeof(GdiBreakpointResult));
            const uint32_t code = Armed([&] {
                return DiBreakpointSet(null ? nullptr : reinterpret_cast<GdiBreakpointResult*>(result.Get()), request);
            });
            ExpectForwarded(code, {GdiOk, GdiFailed}, index);
            if (!g.open) REQUIRE(result.Untouched(), index);
            if (g.open && !null) {
                const auto& r = *reinterpret_cast<const GdiBreakpointResult*>(result.Get());
                REQUIRE(LoadLE32(r.resultWord) == 4, code);
                if (kind != 1) REQUIRE(code == GdiFailed && LoadLE32(r.breakpointId) == 0, code);
                if (code == GdiOk) {
                    // The breakpoint is there, and its id is its address.
                    const uint64_t at = address + (g.arm && LoadLE32(request.qualifier) == 2 ? 1 : 0);
                    REQUIRE(g.cpu->Breakpoints().count(at) == 1, at);
                    REQUIRE(LoadLE32(r.breakpointId) == static_cast<uint32_t>(at), at);
                }
                for (uint8_t byte : r.notTouched) REQUIRE(byte == 0xA5, byte);
            }
            break;
        }
        case 28: {  // DiBreakpointClear
            const uint32_t id = static_cast<uint32_t>(PickAddress(in, pc));
            const uint32_t result = Armed([&] { return DiBreakpointClear(id); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (g.open && result == GdiOk) REQUIRE(g.cpu->Breakpoints().count(id) == 0, id);
            break;
        }
        case 29: {  // DiBreakpointClearAll
            const uint32_t result = Armed([&] { return DiBreakpointClearAll(); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (g.open && result == GdiOk) REQUIRE(g.cpu->Breakpoints().empty(), index);
            break;
        }
        case 30: {  // DiExecResetChild
            const uint32_t result = Armed([&] { return DiExecResetChild(); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (g.open && result == GdiOk)
                REQUIRE(g.cpu->state() == sim::ScriptedProcessor::State::NotStarted && g.cpu->Pc() == g.cpu->resetPc,
                        g.cpu->Pc());
            break;
        }
        case 31:    // DiExecSingleStep
        case 33: {  // DiExecContinue
            g.cpu->cancelledDuringStep = false;
            FuzzProcessor& cpu = *g.cpu;
            const uint32_t count = index == 31 ? PickCount(in) : 0;
            cpu.endedByQueryFirst = false;
            cpu.runControlAtCall = cpu.continues + cpu.steps;
            const bool runningBefore = Running();
            const uint32_t pcBefore = cpu.Pc();
            const int continuesBefore = cpu.continues, stepsBefore = cpu.steps;
            const std::set<uint64_t> breakpointsBefore = cpu.Breakpoints();
            cpu.paused = false;
            const uint32_t result = Armed([&] { return index == 31 ? DiExecSingleStep(count) : DiExecContinue(); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (g.open && result == GdiOk && !g.reopenedInCallback) CheckRun(index == 33, count, runningBefore, pcBefore,
                                                                            continuesBefore, stepsBefore, breakpointsBefore);
            // A cancel that arrived before the run's wait ends the run.
            if (index == 33 && g.open && g.cpu->cancelledDuringStep && !g.reopenedInCallback)
                ExpectHappened(result == GdiFailed, "a cancel during the first step was lost", result);
            // Success means the processor came to rest, unless the host
            // answered none of the three states (an unknown state ends a wait).
            if (g.open && result == GdiOk && !g.cpu->answersAllFalse)
                ExpectHappened(!Running(), "a run reported finished while the processor runs", index);
            // With nothing failing and nothing ending it from outside during
            // the call (a cancel, a close, a second open), a run succeeds: a
            // cancel made before the call, while no run waited, or one left
            // from an earlier run, is not this run's.
            const bool endedFromOutside =
                g.cancelledInCallback || g.closedInCallback || g.reopenedInCallback || g.cpu->cancelledDuringStep;
            if (g.open && g.onCpu && Faultless() && !endedFromOutside)
                ExpectHappened(result == GdiOk, "a run failed that nothing ended (a cancel outlived its run?)", index);
            break;
        }
        case 35: {  // DiExecGetStatus
            const bool null = in.U8() % 8 == 0;
            Buffer status(sizeof(GdiExitStatus));
            using State = sim::ScriptedProcessor::State;
            // A processor that has stopped stays so through the state
            // queries; a running one may end at any of them, and one not
            // started is halted once the input has spent its queries.
            const State before = g.cpu->state();
            const uint32_t result =
                Armed([&] { return DiExecGetStatus(null ? nullptr : reinterpret_cast<GdiExitStatus*>(status.Get())); });
            const State after = g.cpu->state();
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (!g.open) REQUIRE(status.Untouched(), index);
            if (g.open && !null) {
                const auto& s = *reinterpret_cast<const GdiExitStatus*>(status.Get());
                const char* message;
                std::memcpy(&message, s.message, sizeof message);
                REQUIRE(IsKnownMessage(message), index);
                if (result == GdiOk) {
                    const uint32_t cause = LoadLE32(s.cause);
                    REQUIRE(cause == 0 || cause == 1 || cause == 4 || cause == 128 || cause == 512 || cause == 1024,
                            cause);
                    if (cause != CauseBreakpoint) REQUIRE(LoadLE32(s.breakpointId) == 0, cause);
                    // The state the processor was in, as the module learnt it.
                    if (g.onCpu && !g.cpu->answersAllFalse) {
                        if (before == State::NotStarted && after == State::NotStarted)
                            ExpectHappened(cause == CauseStopped && message &&
                                               std::strcmp(message, "CPU hasn't started executing yet.\r") == 0,
                                           "a processor not started was reported otherwise", cause);
                        if (after == State::Running)
                            ExpectHappened(cause == CauseRunning && !message,
                                           "a running processor was reported otherwise", cause);
                        if (before == State::Halted)
                            ExpectHappened(cause != CauseRunning && cause != CauseUnknownState && !message,
                                           "a stopped processor was reported otherwise", cause);
                    }
                    // Right after a stop at a breakpoint, the status names it
                    // (0 when a failing host call kept it from the module; a
                    // lookup that failed is no answer, let alone "none").
                    if (g.breakpointStop && g.onCpu && before == State::Halted && g.cpu->Pc() == g.breakpointStop->pc) {
                        const uint32_t id = LoadLE32(s.breakpointId);
                        REQUIRE(cause == CauseBreakpoint, cause);
                        REQUIRE(id == g.breakpointStop->id || (!Faultless() && id == 0),
                                uint64_t(g.breakpointStop->id) << 32 | id);
                    }
                } else {
                    // The state could not be learnt: the cause is left as it was.
                    REQUIRE(LoadLE32(s.breakpointId) == 0 && !message && LoadLE32(s.cause) == 0xA5A5A5A5u, result);
                }
            }
            break;
        }
        case 36: {  // DiExecStop
            const uint32_t result = Armed([&] { return DiExecStop(); });
            ExpectForwarded(result, {GdiOk, GdiFailed}, index);
            if (g.open && result == GdiOk) REQUIRE(g.cpu->state() == sim::ScriptedProcessor::State::Halted, index);
            break;
        }
        // The fixed answers, whether or not an instance is open.
        case 14: case 15: case 16: {
            uint32_t (*const fns[])() = {DiMemorySetMap, DiMemoryGetMap, DiMemorySetCpuMap};
            REQUIRE(fns[index - 14]() == GdiOk, index);
            break;
        }
        default: {
            static uint32_t (*const fixed[])() = {
                DiGdiAddCallback, DiGdiSynchronize, DiDirectAddMenuItem, DiDirectCommand, DiDirectReadNoWait,
                DiMemoryGetCpuMap, DiRegisterClassCreate, DiRegisterClassDelete, DiRegisterClassWrite,
                DiRegisterClassRead, DiExecContinueUntil, DiExecContinueBackground, DiCommGetAcceptableSettings,
                DiTraceSwitchOn, DiTraceGetInstructions, DiTracePrintRawInfo, DiTraceGetNrOfNewFrames,
                DiCoverageSwitchOn, DiCoverageGetInfo, DiProfilingSwitchOn, DiProfileGetInfo, DiStateOpen,
                DiStateSave, DiStateRestore, DiStateClose, DiMeeEnumExecEnv, DiMeeConnect, DiMeeGetFeatures,
                DiMeeInitIO, DiMeeSelect, DiMeeDisconnect, DiCpuSelect, DiCpuCurrent, DiProcess};
            static constexpr unsigned rows[] = {7,  9,  10, 11, 12, 17, 23, 24, 25, 26, 32, 34, 37, 38, 39, 40, 41,
                                                42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 59};
            static_assert(std::size(fixed) == std::size(rows));
            for (std::size_t i = 0; i < std::size(rows); ++i)
                if (rows[i] == index) REQUIRE(fixed[i]() == GdiNotSupported, index);
            break;
        }
    }
}

// ---- Harness operations --------------------------------------------------------------

constexpr unsigned ExportCount = 60;

sim::ScriptedProcessor::RunBehaviour PickRun(Input& in) {
    const uint8_t selector = in.U8();
    sim::ScriptedProcessor::RunBehaviour run;
    run.haltAfterQueries = selector % 8 == 7 ? sim::ScriptedProcessor::Never : selector % 8;
    if (selector & 0x80) run.stopPc = static_cast<uint32_t>(PickAddress(in, 0));
    return run;
}

void HarnessOp(unsigned op, Input& in) {
    sim::TestProbe& probe = Probe();
    FuzzProcessor& cpu = *g.cpu;
    // Faults, the done mode, the poll plan and allocation failures leave the
    // processor and the last stop as they are; the rest may change them.
    if (op != 0 && op != 1 && op != 2 && op != 6 && op != 9 && op != 15) g.breakpointStop.reset();
    switch (op) {
        case 0: {
            const char* method = FaultMethods[in.U8() % FaultMethodCount];
            probe.InjectFault(method, static_cast<sim::HRESULT>(PickStatus(in)));
            g.faults.insert(method);
            break;
        }
        case 1:
            probe.ClearFaults();
            g.faults.clear();
            break;
        case 2: {
            const char* method = FaultMethods[in.U8() % FaultMethodCount];
            probe.InjectFault(method, sim::S_OK);
            g.faults.erase(method);
            break;
        }
        case 3: {
            using State = sim::ScriptedProcessor::State;
            static constexpr State states[] = {State::NotStarted, State::Running, State::Halted};
            cpu.SetState(states[in.U8() % 3]);
            break;
        }
        case 4: cpu.answersAllFalse = in.Bit(); break;
        case 5: cpu.SetPc(static_cast<uint32_t>(PickAddress(in, cpu.Pc()))); break;
        case 6: {
            static constexpr sim::DoneMode modes[] = {sim::DoneMode::Once, sim::DoneMode::Twice, sim::DoneMode::Never,
                                                      sim::DoneMode::Later};
            const uint8_t mode = in.U8() % 4;
            probe.doneMode = modes[mode];
            g.usedDoneNever = g.usedDoneNever || mode == 2;
            break;
        }
        case 7: cpu.onContinue = PickRun(in); break;
        case 8: cpu.onStep = PickRun(in); break;
        case 9:
            g.pollActionAt = in.U8() % (PollCyclesPerWait + 1);
            g.pollAction = in.U8() % 7;
            break;
        case 10: cpu.AddBreakpoint(7, PickAddress(in, cpu.Pc())); break;
        case 11: {
            const uint8_t selector = in.U8() % 4;
            cpu.SetBreakpointSpace(selector == 0 ? std::nullopt : std::optional<uint32_t>(selector == 1 ? 3 : 7));
            break;
        }
        case 12: {
            const uint8_t selector = in.U8() % 4;
            // Hosts that report no objects, or fewer than they have.
            static constexpr int32_t counts[] = {0, -1, 1, 2};
            if (in.Bit())
                cpu.registerCountAnswer = selector == 3 ? std::nullopt : std::optional<int32_t>(counts[selector]);
            else
                cpu.memorySpaceCountAnswer = selector == 3 ? std::nullopt : std::optional<int32_t>(counts[selector]);
            break;
        }
        case 13: {
            auto& space = cpu.Space(in.U8() % 2);
            space.beginDownloadAnswer = in.Bit();
            space.endDownloadAnswer = in.Bit();
            break;
        }
        case 14: cpu.cancelOnStep = true; break;
        // The next export call runs out of memory at its n-th allocation on
        // the front-end's thread.
        case 15: g.allocationFault = in.U8() % 48; break;
        default: break;
    }
}

constexpr unsigned HarnessOpCount = 16;

// ---- One input -------------------------------------------------------------------------

void Configure(Input& in) {
    auto cpu = std::make_shared<FuzzProcessor>();
    cpu->AddRegister("R0", in.U32());
    cpu->AddRegister("R1", 0x22);
    cpu->AddRegister("SP", 0x2000);
    const uint8_t flags = in.U8();
    if (flags & 1) cpu->SetPcRegister(3);  // SP doubles as the program counter
    if (flags & 2) cpu->SetBreakpointSpace(7);
    if (!(flags & 2) && (flags & 4)) cpu->SetBreakpointSpace(3);
    static constexpr uint32_t limits[] = {16, 1024, 0, 1, 3, 65536, 0xFFFFFFFF, 100000};
    cpu->AddMemorySpace("DATA", limits[in.U8() % 8]);
    cpu->AddMemorySpace("CODE", limits[in.U8() % 8]);
    cpu->onContinue = PickRun(in);
    cpu->onStep = PickRun(in);
    cpu->stepSize = in.U8() % 8;
    cpu->resetPc = static_cast<uint32_t>(PickAddress(in, 0));
    cpu->SetPc(cpu->resetPc);
    sim::Host& host = sim::Host::Instance();
    host.AddProcessor("CPU", cpu);
    host.AddComponentWithoutProcessor("NOPROC");
    g.cpu = std::move(cpu);
}

// DIORX_FUZZ_TRACE=1 lists the operations of each input as they run.
const bool g_Trace = std::getenv("DIORX_FUZZ_TRACE") != nullptr;

void RunSession(Input& in) {
    TextPool texts;
    for (int ops = 0; ops < MaxOps && !in.Empty() && !g.cpu->exhausted; ++ops) {
        const uint8_t opcode = in.U8();
        if (opcode < 0xE0) {
            if (g_Trace) std::fprintf(stderr, "export %u (open %d)\n", opcode % ExportCount, g.open);
            g.cpu->TakeSpacesReached();
            CallExport(opcode % ExportCount, in, texts);
            // Only the memory exports reach memory (each checks where).
            REQUIRE(g.cpu->TakeSpacesReached().empty(), opcode % ExportCount);
            // Host objects are looked up afresh by every operation and never
            // kept between calls; every call object the host gave back with
            // Done is gone.
            REQUIRE(sim::LiveObjects().load() == 0, opcode % ExportCount);
            Probe().FlushLaterDone();
            REQUIRE(Probe().ReleaseGivenBackCalls() == 0, opcode % ExportCount);
        } else {
            const unsigned op = (opcode - 0xE0u) % HarnessOpCount;
            if (g_Trace) std::fprintf(stderr, "harness %u\n", op);
            HarnessOp(op, in);
        }
    }
    if (g_Trace)
        std::fprintf(stderr, "end: %d state queries, %d state reads%s\n", g.cpu->queries.load(),
                     g.cpu->stateReads.load(), g.cpu->exhausted ? ", budget spent" : "");
    // The front-end ends its session.
    const uint32_t result = DiGdiClose(0);
    REQUIRE(result == (g.open ? GdiOk : GdiFailed), result);
    g.open = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Poll quickly: a wait cycle costs a millisecond, not half a second.
    setenv("DIORX_POLL_MS", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    sim::Host& host = sim::Host::Instance();
    sim::TestProbe& probe = Probe();
    host.Reset();
    probe.Reset();
    sim::OverReleases() = 0;
    g = Session{};
    Input in(data, size);
    Configure(in);

    host.RunFrontEnd([&] { RunSession(in); });

    // The instance is closed: every host reference it took is given back,
    // every Nexus method ran on the main thread, and every call object the
    // host gave back is gone from the module's pending list.
    REQUIRE(sim::LiveObjects().load() == 0, sim::LiveObjects().load());
    REQUIRE(sim::OverReleases().load() == 0, sim::OverReleases().load());
    REQUIRE(probe.mainThreadViolations() == 0, probe.mainThreadViolations());
    // The module never asks for more than a memory space's transfer limit,
    // nor hands a call over with no main thread serving.
    REQUIRE(probe.contractViolations() == 0, probe.contractViolations());
    // What the host keeps for a later Done is given back before the
    // pending list is looked at.
    probe.FlushLaterDone();
    if (targetaccess::g_PendingCalls) {
        if (!g.usedDoneNever) REQUIRE(targetaccess::g_PendingCalls->Count() == 0, targetaccess::g_PendingCalls->Count());
        // The host gives back late what it kept.
        while (auto call = targetaccess::g_PendingCalls->TakeFirst()) {
        }
    }
    g.cpu.reset();
    probe.Reset();
    host.Reset();
    return 0;
}
