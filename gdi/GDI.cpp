#include "gdi/GDI.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

namespace gdi {

const char NotStartedMessage[] = "CPU hasn't started executing yet.\r";
const char UnknownStateMessage[] = "CPU has entered an unknown state.\r";
const char FeaturesName[] = "ORX GDI";
const char FeaturesVersion[] = "1.0";
const char PollPeriodVariable[] = "DIORX_POLL_MS";
const char AdaptivePollVariable[] = "DIORX_POLL_ADAPTIVE";

uint32_t PollPeriodFrom(const std::optional<std::string>& text) {
    if (!text || text->empty()) return PollPeriodMs;
    uint32_t value = 0;
    for (const char c : *text) {
        if (c < '0' || c > '9') return PollPeriodMs;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > MaxPollPeriodMs) return PollPeriodMs;
    }
    return value == 0 ? PollPeriodMs : value;
}

bool AdaptivePollFrom(const std::optional<std::string>& text) { return text && *text == "1"; }

WordArray AllocWordArray(std::size_t count) { return WordArray(new uint32_t[count]()); }

CpuFamily DetectCpuFamily(const char* path) {
    if (!path) return FamilyLx32;
    static constexpr struct {
        std::u16string_view pattern;
        CpuFamily family;
    } patterns[] = {
        {u"qdvlx8", FamilyLx8}, {u"qdvlx32", FamilyLx32}, {u"qdv51", Family51},   {u"qdvppc", FamilyPpc},
        {u"qdvarm", FamilyArm}, {u"qdvmb", FamilyMicroBlaze}, {u"qdvnios", FamilyNios}, {u"qdvz80", FamilyZ80},
    };
    const std::u16string wide = platform::AnsiToWide(path);
    for (const auto& p : patterns)
        if (wide.find(p.pattern) != std::u16string::npos) return p.family;
    return FamilyLx32;
}

// ---- Lifecycle -----------------------------------------------------------

uint32_t TGDI::Open(int32_t argc, const char* const* argv, PollCallbackProc pollCallback) {
    PollCallback_ = pollCallback;
    PollPeriodMs_ = PollPeriodFrom(platform::EnvironmentValue(PollPeriodVariable));
    AdaptivePoll_ = AdaptivePollFrom(platform::EnvironmentValue(AdaptivePollVariable));
    LastExitCause_ = CauseStopped;
    // Without entries the path and the designator are empty; nothing outside
    // the vector is read.
    const bool hasEntries = argv && argc >= 1;
    CpuFamily_ = DetectCpuFamily(hasEntries ? argv[0] : nullptr);
    const char* last = hasEntries ? argv[argc - 1] : nullptr;
    Access_ = std::make_unique<targetaccess::TGDI_NexusAccess>(last ? last : "");
    CancelRequested_ = false;
    TransferBuffer_ = AllocWordArray(TransferBufferWords);
    return GdiOk;
}

uint32_t TGDI::Close() {
    closing_ = true;
    CancelRequested_ = true;
    Wake();
    return GdiOk;
}

// ---- Features, version, simple answers ---------------------------------------

uint32_t TGDI::GetFeatures(uint8_t* features) {
    if (!features) return GdiFailed;
    std::memset(features, 0, GdiFeaturesSize);
    StorePointer(features + FeaturesOffset(0), FeaturesName);
    StorePointer(features + FeaturesOffset(4), FeaturesVersion);
    const bool arm = CpuFamily_ == FamilyArm;
    static constexpr struct {
        uint16_t offset;
        uint8_t width;
        uint32_t value;
    } fields[] = {
        {8, 4, 1},          {37, 1, 1},          {40, 4, 1},  {44, 4, 7},  {97, 1, 1},  {100, 4, 0x7FFFFFFF},
        {104, 4, 0x7FFFFFFF}, {108, 1, 1},       {109, 1, 1}, {110, 1, 1}, {132, 1, 1}, {148, 1, 1},
    };
    for (const auto& field : fields) {
        uint8_t* at = features + FeaturesOffset(field.offset);
        if (field.width == 4)
            StoreLE32(at, field.value);
        else
            *at = static_cast<uint8_t>(field.value);
    }
    StoreLE32(features + FeaturesOffset(48), arm ? 128 : 0);
    StoreLE32(features + FeaturesOffset(52), arm ? 1024 : 0);
    return GdiOk;
}

namespace {
uint32_t StoreOut(uint32_t* out, uint32_t value) {
    if (!out) return GdiFailed;
    *out = value;
    return GdiOk;
}
}  // namespace

uint32_t TGDI::Version(uint32_t* version) { return StoreOut(version, GdiVersion); }
uint32_t TGDI::InitIO(uint32_t* value) { return StoreOut(value, 0); }
uint32_t TGDI::SetConfig(uint32_t) { return GdiOk; }
uint32_t TGDI::ErrorGetMessage(uint32_t* message) { return StoreOut(message, 0); }

uint32_t TGDI::ReplaceMap(host::TStringList& map, int32_t count, GdiMapEntry* entries) {
    if (count > 0 && !entries) return GdiFailed;
    map.Clear();
    for (int32_t i = 0; i < count; ++i) {
        GdiMapEntry& entry = entries[i];
        const char* name;
        std::memcpy(&name, entry.name, sizeof name);
        map.Add(name ? name : "", static_cast<int32_t>(LoadLE32(entry.id)));
        entry.accepted = 1;
    }
    return GdiOk;
}

uint32_t TGDI::InitRegisterMap(int32_t count, GdiMapEntry* entries, int32_t pcRegisterId) {
    const OperationGuard guard(operationLock_);
    if (const uint32_t result = ReplaceMap(Access_->Registers(), count, entries); result != GdiOk) return result;
    Access_->SetPcRegister(pcRegisterId);
    return GdiOk;
}

uint32_t TGDI::InitMemorySpaceMap(int32_t count, GdiMapEntry* entries) {
    const OperationGuard guard(operationLock_);
    return ReplaceMap(Access_->MemorySpaces(), count, entries);
}

// ---- Execution -------------------------------------------------------------

void TGDI::Wake() { platform::WakeSleeper(sleeper_.get()); }

void TGDI::SleepOnePollPeriod(uint32_t microseconds) {
    // A cancel or close that came before the sleep ends it at once; one that
    // comes during it wakes it (a wake is kept until a sleep uses it up).
    while (!WaitEnded())
        if (!pollSleep_(sleeper_.get(), microseconds)) return;
}

TGDI::WaitEnd TGDI::RunWaitLoop() {
    // A state none of the three known ones tells as little as a failed query.
    const auto endFor = [](uint8_t state) {
        return state == StateNotStarted || state == StateStopped ? WaitEnd::Stopped : WaitEnd::StateUnknown;
    };
    // Fixed: every sleep lasts the poll period. Adaptive: the first is short
    // and each poll that finds the processor running doubles the next, up to
    // the period.
    const uint32_t periodUs = PollPeriodMs_ * 1000;
    uint32_t sleepUs = AdaptivePoll_ ? std::min(AdaptiveFirstSleepUs, periodUs) : periodUs;
    // A wake left from a cancel that came while no call ran would cut the
    // first sleep short: use it up (a cancel since this call began is in
    // CancelRequested_, which every sleep looks at first).
    platform::SleepMicroseconds(sleeper_.get(), 0);
    for (;;) {
        uint8_t state = 0;
        if (!Access_->GetProcessorState(state)) return WaitEnd::StateUnknown;
        // Adaptive: a processor already found stopped is waited for no
        // longer; the sleep is kept (of no length), and so is the order.
        SleepOnePollPeriod(AdaptivePoll_ && state != StateRunning ? 0 : sleepUs);
        if (PollCallback_) PollCallback_();
        // A cancel or close ends the wait of a running processor; one that
        // stopped is a stop all the same, to be checked and recorded, also
        // when it stopped during the sleep, as the cancel came.
        if (state == StateRunning && WaitEnded())
            if (!Access_->GetProcessorState(state) || state == StateRunning) return WaitEnd::Ended;
        if (state != StateRunning) return endFor(state);
        sleepUs = std::min(sleepUs * 2, periodUs);
    }
}

uint32_t TGDI::Cancel() {
    CancelRequested_ = true;
    Wake();
    return GdiOk;
}

uint32_t TGDI::ExecContinue() {
    const OperationGuard guard(operationLock_);
    // A cancel counts from the start of the call, its first step included;
    // one that arrived while no call ran is dropped here.
    CancelRequested_ = false;
    return Outcome(Continue());
}

uint32_t TGDI::Continue() {
    uint8_t state = 0;
    if (!Access_->GetProcessorState(state)) return GdiFailed;
    if (state != StateRunning) {
        // Step off the current position first, so that a breakpoint under
        // the PC does not stop the run at once.
        if (Step(1) != GdiOk) return GdiFailed;
        // Cancelled or closed during the step: the run is not started.
        if (WaitEnded()) return GdiFailed;
        if (!Access_->ContinueProcessor()) return GdiFailed;
    }
    // Cancelled or closed: left running. A failed state query, or a state
    // that is none of the three, tells nothing about the processor, which
    // may still be running: no stop is recorded.
    if (RunWaitLoop() != WaitEnd::Stopped) return GdiFailed;
    LastExitCause_ = CauseStopped;
    uint32_t pc = 0;
    if (!Access_->ReadRegister(-1, pc)) return GdiFailed;
    // A processor stops either on the breakpoint or just past it: most
    // families report the address after the trapping instruction, and the PC
    // goes back onto the breakpoint; on ARM the breakpoint sits at the
    // address plus 1 (the Thumb bit) and the PC stays, written back once.
    // A lookup that fails leaves both unknown, whether the stop is at a
    // breakpoint and whether the PC must go back: the call fails.
    using Lookup = targetaccess::TGDI_NexusAccess::Lookup;
    const bool arm = CpuFamily_ == FamilyArm;
    const uint32_t probe = arm ? pc + 1 : pc - 1;
    int32_t id = 0;
    switch (Access_->LookUpBreakpointAt(id, probe)) {
        case Lookup::Failed: return GdiFailed;
        case Lookup::Found:
            LastExitCause_ = CauseBreakpoint;
            // On ARM the write puts back the value the PC has. Elsewhere a PC
            // left past the breakpoint would resume the program one
            // instruction on: the stop is reported, but the call fails.
            if (!Access_->WriteRegister(-1, arm ? pc : probe) && !arm) return GdiFailed;
            return GdiOk;
        case Lookup::NotFound: break;
    }
    switch (Access_->LookUpBreakpointAt(id, pc)) {
        case Lookup::Failed: return GdiFailed;
        case Lookup::Found: LastExitCause_ = CauseBreakpoint; break;
        case Lookup::NotFound: break;
    }
    return GdiOk;
}

uint32_t TGDI::ExecSingleStep(uint32_t count) {
    const OperationGuard guard(operationLock_);
    CancelRequested_ = false;
    return Outcome(Step(count));
}

namespace {
// A breakpoint lifted for a step. It is set again on every way out, an
// exception passing through included, so that the front-end's breakpoint
// never silently disappears from the target. On a completed step a refusal
// fails the step; on the other ways out the step has failed already.
class LiftedBreakpoint {
public:
    LiftedBreakpoint(targetaccess::TGDI_NexusAccess& access, int32_t id) : access_(access), id_(id) {}
    LiftedBreakpoint(const LiftedBreakpoint&) = delete;
    LiftedBreakpoint& operator=(const LiftedBreakpoint&) = delete;
    // On the way out of a completed step: false when the host refused, and
    // an exception here is the step's error (the destructor tries once more).
    bool SetAgain() {
        const bool set = Set();
        done_ = true;
        return set;
    }
    ~LiftedBreakpoint() {
        if (done_) return;
        try {
            Set();
        } catch (...) {
            // Nothing more can be done on the way out.
        }
    }

private:
    bool Set() {
        int32_t scratch = 0;
        return access_.SetBreakpoint(scratch, access_.GetBreakpointAddress(id_));
    }
    targetaccess::TGDI_NexusAccess& access_;
    const int32_t id_;
    bool done_ = false;
};
}  // namespace

uint32_t TGDI::Step(uint32_t count) {
    uint32_t pc = 0;
    if (!Access_->ReadRegister(-1, pc)) return GdiFailed;
    int32_t id = 0;
    std::optional<LiftedBreakpoint> lifted;
    if (Access_->FindBreakpointAt(id, pc)) {
        Access_->ClearBreakpoint(id);
        lifted.emplace(*Access_, id);
    }

    bool finished = false;
    if (!Access_->SingleStep(count, finished)) return GdiFailed;
    if (!finished && RunWaitLoop() != WaitEnd::Stopped) return GdiFailed;
    // The step happened, but a front-end told it worked would believe its
    // breakpoint is still there.
    if (lifted && !lifted->SetAgain()) return GdiFailed;
    LastExitCause_ = CauseSingleStep;
    return GdiOk;
}

// No operation lock: a stop must reach a processor that another thread's
// continue is waiting on.
uint32_t TGDI::ExecStop() {
    if (!Access_->PauseProcessor()) return GdiFailed;
    LastExitCause_ = CauseHalted;
    return GdiOk;
}

uint32_t TGDI::ExecResetChild() {
    const OperationGuard guard(operationLock_);
    if (!Access_->ResetProcessor()) return GdiFailed;
    LastExitCause_ = CauseStopped;
    return GdiOk;
}

uint32_t TGDI::ExecGetStatus(GdiExitStatus* status) {
    const OperationGuard guard(operationLock_);
    if (!status) return GdiFailed;
    StoreLE32(status->breakpointId, 0);
    StorePointer(status->message, nullptr);
    uint8_t state = 0;
    if (!Access_->GetProcessorState(state)) return GdiFailed;
    uint32_t cause = LastExitCause_;
    switch (state) {
        case StateNotStarted:
            cause = CauseStopped;
            StorePointer(status->message, NotStartedMessage);
            break;
        case StateRunning: cause = CauseRunning; break;
        case StateStopped:
            if (cause == CauseBreakpoint) {
                // The call fails only when the state query does. Without the
                // PC, or on ARM without an answer about the breakpoint after
                // it, the cause is still reported, with breakpoint id 0: the
                // id is not known. A front-end may rely on the status call
                // succeeding after every stop.
                using Lookup = targetaccess::TGDI_NexusAccess::Lookup;
                uint32_t pc = 0;
                if (Access_->ReadRegister(-1, pc)) {
                    int32_t id = Access_->TranslateAddress(pc);
                    int32_t found = 0;
                    const Lookup after = CpuFamily_ == FamilyArm ? Access_->LookUpBreakpointAt(found, uint32_t(pc + 1))
                                                                 : Lookup::NotFound;
                    if (after == Lookup::Found) id = found;
                    if (after == Lookup::Failed) id = 0;
                    StoreLE32(status->breakpointId, static_cast<uint32_t>(id));
                }
            }
            break;
        default:
            cause = CauseUnknownState;
            StorePointer(status->message, UnknownStateMessage);
            break;
    }
    StoreLE32(status->cause, cause);
    return GdiOk;
}

// ---- Transfer --------------------------------------------------------------

int32_t TGDI::SpaceIdOf(const GdiAddress& address) const {
    return CpuFamily_ == FamilyArm ? 0 : static_cast<int32_t>(LoadLE32(address.spaceId));
}

// A count whose array would run past the end of the address space is no
// array the caller can have passed (2^30 values are 12 GiB, more than a
// 32-bit process has).
bool ValueArrayFits(const GdiValue* values, uint32_t count) {
    if (count == 0) return true;
    if (!values) return false;
    const uint64_t room = uint64_t(std::numeric_limits<uintptr_t>::max() - reinterpret_cast<uintptr_t>(values)) + 1;
    return uint64_t(count) * sizeof(GdiValue) <= room;
}

uint32_t TGDI::MemoryRead(const GdiAddress& address, GdiValue* values, uint32_t count) {
    const OperationGuard guard(operationLock_);
    // Refused before the host is asked and before any value is written.
    if (!ValueArrayFits(values, count)) return GdiFailed;
    const uint64_t target = AddressToUInt64(address);
    // The host reads one block, no longer than the memory space's transfer
    // limit, into a buffer made for what it reads: a large count costs no
    // memory of its own.
    std::unique_ptr<uint32_t[]> words;
    uint32_t transferred = 0;
    bool ok = Access_->ReadMemory(SpaceIdOf(address), target, count, words, transferred);
    ok = ok && transferred <= count && (words || transferred == 0);
    for (uint32_t i = 0; i < count; ++i) {
        GdiValue& value = values[i];
        if (ok) {
            SpreadWord(value, i < transferred ? words[i] : 0);
            StoreLE32(value.status, i < transferred ? ValueValid : MemoryNotRead);
        } else {
            value.bytes[7] = 0xFF;
            StoreLE32(value.status, MemoryNotRead);
        }
    }
    return GdiOk;
}

uint32_t TGDI::MemoryWrite(const GdiAddress& address, const GdiValue* values, uint32_t count) {
    const OperationGuard guard(operationLock_);
    // The count is signed here: a negative count is not a write.
    if (static_cast<int32_t>(count) < 0 || !ValueArrayFits(values, count)) return GdiFailed;
    const uint64_t target = AddressToUInt64(address);
    WordArray buffer = AllocWordArray(count);
    for (uint32_t i = 0; i < count; ++i) buffer[i] = GatherWord(values[i]);
    return Access_->WriteMemory(SpaceIdOf(address), buffer.get(), target, count) ? GdiOk : GdiFailed;
}

uint32_t TGDI::MemoryDownload(uint32_t step, const GdiDownloadFormat& format, const uint8_t* data) {
    const OperationGuard guard(operationLock_);
    const int32_t space = SpaceIdOf(format.start);
    bool ok = false;
    switch (step) {
        case 0: ok = Access_->StartDownload(space); break;
        case 1: {
            const int32_t byteCount = static_cast<int32_t>(LoadLE32(format.byteCount));
            // No data to send: the step fails like any other refused step.
            if (byteCount > 0 && !data) return GdiDownloadFailed;
            const uint64_t start = AddressToUInt64(format.start);
            if (byteCount <= 0) {
                ok = Access_->DownloadBlock(space, TransferBuffer_.get(), start, 0);
                break;
            }
            // One data byte per word; blocks longer than the transfer buffer
            // go out in consecutive pieces.
            ok = true;
            for (uint32_t done = 0; ok && done < uint32_t(byteCount);) {
                const uint32_t n = std::min<uint32_t>(uint32_t(byteCount) - done, TransferBufferWords);
                for (uint32_t i = 0; i < n; ++i) TransferBuffer_[i] = data[done + i];
                ok = Access_->DownloadBlock(space, TransferBuffer_.get(), start + done, n);
                done += n;
            }
            break;
        }
        // Step 2 finishes and step 3 stops: the reverse of the call objects'
        // own step numbers.
        case 2: ok = Access_->FinishDownload(space); break;
        case 3: ok = Access_->StopDownload(space); break;
        default: break;
    }
    return ok ? GdiOk : GdiDownloadFailed;
}

uint32_t TGDI::RegisterRead(int32_t registerId, GdiValue* value) {
    const OperationGuard guard(operationLock_);
    if (!value) return GdiFailed;
    std::memset(value->bytes, 0, sizeof value->bytes);
    StoreLE32(value->status, RegisterNotRead);
    uint32_t word = 0;
    if (Access_->ReadRegister(registerId, word)) {
        StoreLE32(value->status, ValueValid);
        SpreadWord(*value, word);
    }
    return GdiOk;
}

uint32_t TGDI::RegisterWrite(int32_t registerId, const GdiValue& value) {
    const OperationGuard guard(operationLock_);
    return Access_->WriteRegister(registerId, GatherWord(value)) ? GdiOk : GdiFailed;
}

uint32_t TGDI::BreakpointSet(GdiBreakpointResult* result, const GdiBreakpoint& request) {
    const OperationGuard guard(operationLock_);
    if (!result) return GdiFailed;
    StoreLE32(result->breakpointId, 0);
    StoreLE32(result->resultWord, 4);
    if (LoadLE32(request.kind) != 1) return GdiFailed;
    uint64_t address = AddressToUInt64(request.location);
    if (CpuFamily_ == FamilyArm && LoadLE32(request.qualifier) == 2) address += 1;
    int32_t id = 0;
    if (Access_->FindBreakpointAt(id, address)) {
        StoreLE32(result->breakpointId, static_cast<uint32_t>(id));
        return GdiOk;
    }
    id = static_cast<int32_t>(LoadLE32(result->breakpointId));
    const bool ok = Access_->SetBreakpoint(id, address);
    StoreLE32(result->breakpointId, static_cast<uint32_t>(id));
    return ok ? GdiOk : GdiFailed;
}

uint32_t TGDI::BreakpointClear(uint32_t breakpointId) {
    const OperationGuard guard(operationLock_);
    return Access_->ClearBreakpoint(static_cast<int32_t>(breakpointId)) ? GdiOk : GdiFailed;
}

uint32_t TGDI::BreakpointClearAll() {
    const OperationGuard guard(operationLock_);
    return Access_->ClearAllBreakpoints() ? GdiOk : GdiFailed;
}

}  // namespace gdi
