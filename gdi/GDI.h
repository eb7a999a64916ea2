// TGDI: one GDI instance, from DiGdiOpen to DiGdiClose. It turns GDI calls
// into target operations on its TGDI_NexusAccess and remembers the processor
// family, the poll callback, the last stop cause and the cancel request.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "access/GDI_SynchronizedNexusAccess.h"
#include "gdi/GdiRecords.h"
#include "platform/Platform.h"

namespace gdi {

enum CpuFamily : uint8_t {
    Family51 = 0,
    FamilyLx8 = 1,
    FamilyZ80 = 2,
    FamilyLx32 = 3,
    FamilyPpc = 4,
    FamilyMicroBlaze = 5,
    FamilyNios = 6,
    FamilyArm = 7,
};

// The family named by the front-end's path; case-sensitive, first pattern
// in a fixed order wins, no match gives FamilyLx32.
CpuFamily DetectCpuFamily(const char* path);

enum ProcessorState : uint8_t { StateNotStarted = 1, StateRunning = 2, StateStopped = 3 };

extern const char NotStartedMessage[];
extern const char UnknownStateMessage[];
extern const char FeaturesName[];
extern const char FeaturesVersion[];

constexpr uint32_t GdiVersion = 294;
constexpr uint32_t TransferBufferWords = 1024;
// The run wait's poll period. DIORX_POLL_MS, read when an instance is
// opened, may shorten it: a decimal number from 1 to 500, digits only.
constexpr uint32_t PollPeriodMs = 500;
constexpr uint32_t MaxPollPeriodMs = 500;
extern const char PollPeriodVariable[];
// The period a value of that variable asks for; no value, or anything but
// 1 to 500 in plain digits, gives PollPeriodMs.
uint32_t PollPeriodFrom(const std::optional<std::string>& text);
// The adaptive wait, opted into with DIORX_POLL_ADAPTIVE=1 (read when an
// instance is opened; anything else leaves the fixed period): each wait
// starts with a sleep of AdaptiveFirstSleepUs and doubles it after every
// poll that still finds the processor running, up to the poll period; the
// sleep after a poll that finds it stopped lasts nothing. The loop, its host
// calls and its callbacks stay as they are; only the sleeps are shorter, so
// a stop soon after the start is seen within microseconds.
constexpr uint32_t AdaptiveFirstSleepUs = 20;
extern const char AdaptivePollVariable[];
bool AdaptivePollFrom(const std::optional<std::string>& text);

using PollCallbackProc = void(DI_CDECL*)();

using WordArray = std::unique_ptr<uint32_t[]>;
// Zero-filled; throws std::bad_alloc when the memory cannot be had.
WordArray AllocWordArray(std::size_t count);
// Whether an array of `count` value records can start at `values`: false
// for a null array with values in it, and for one that would run past the
// end of the address space.
bool ValueArrayFits(const GdiValue* values, uint32_t count);

class TGDI {
public:
    TGDI() = default;
    TGDI(const TGDI&) = delete;
    TGDI& operator=(const TGDI&) = delete;

    // Lifecycle, features and maps.
    uint32_t Open(int32_t argc, const char* const* argv, PollCallbackProc pollCallback);
    // Ends any wait in progress. What the instance owns is released when the
    // last call using the instance has returned (the destructor).
    uint32_t Close();
    uint32_t GetFeatures(uint8_t* features);
    uint32_t Version(uint32_t* version);
    uint32_t InitIO(uint32_t* value);
    uint32_t SetConfig(uint32_t value);
    uint32_t ErrorGetMessage(uint32_t* message);
    uint32_t InitRegisterMap(int32_t count, GdiMapEntry* entries, int32_t pcRegisterId);
    uint32_t InitMemorySpaceMap(int32_t count, GdiMapEntry* entries);

    // Execution. ExecContinue and a step that has to wait block until the
    // processor stops, its state cannot be learnt (GdiFailed) or a cancel or
    // close arrives (GdiFailed, the processor left running). A processor
    // found stopped when the cancel or close arrives is a stop like any other,
    // checked and recorded; after a close the call still fails, since the
    // front-end has let the instance go.
    uint32_t ExecContinue();
    uint32_t ExecSingleStep(uint32_t count);
    uint32_t ExecStop();
    uint32_t ExecResetChild();
    uint32_t ExecGetStatus(GdiExitStatus* status);
    uint32_t Cancel();

    // Transfer.
    uint32_t MemoryRead(const GdiAddress& address, GdiValue* values, uint32_t count);
    uint32_t MemoryWrite(const GdiAddress& address, const GdiValue* values, uint32_t count);
    uint32_t MemoryDownload(uint32_t step, const GdiDownloadFormat& format, const uint8_t* data);
    uint32_t RegisterRead(int32_t registerId, GdiValue* value);
    uint32_t RegisterWrite(int32_t registerId, const GdiValue& value);
    uint32_t BreakpointSet(GdiBreakpointResult* result, const GdiBreakpoint& request);
    uint32_t BreakpointClear(uint32_t breakpointId);
    uint32_t BreakpointClearAll();

    // State, visible to tests.
    CpuFamily Family() const { return CpuFamily_; }
    uint32_t LastExitCause() const { return LastExitCause_; }
    bool CancelRequested() const { return CancelRequested_; }
    uint32_t PollPeriod() const { return PollPeriodMs_; }
    bool AdaptivePoll() const { return AdaptivePoll_; }
    // Tests only: the poll sleep, platform::SleepMicroseconds unless a test
    // puts a fake clock in its place. Called on the waiting thread with the
    // instance's sleeper (which Cancel and Close wake) and the sleep's length;
    // true when a wake ended it.
    using PollSleepFn = bool (*)(platform::SleeperHandle sleeper, uint32_t microseconds);
    void SetPollSleepForTests(PollSleepFn sleep) { pollSleep_ = sleep; }
    targetaccess::TGDI_NexusAccess* Access() const { return Access_.get(); }

private:
    // How a wait ended: the processor stopped (or is not started), its state
    // could not be learnt (the query failed or the state is none of the
    // three), or a cancel or close ended it (WaitEnded).
    enum class WaitEnd { Stopped, StateUnknown, Ended };
    WaitEnd RunWaitLoop();
    // The single step shared by ExecSingleStep and ExecContinue's first step.
    uint32_t Step(uint32_t count);
    uint32_t Continue();
    // A run's result as the front-end sees it: failed once the instance was
    // closed during the call.
    uint32_t Outcome(uint32_t result) const { return closing_ ? GdiFailed : result; }
    bool WaitEnded() const { return CancelRequested_ || closing_; }
    void SleepOnePollPeriod(uint32_t microseconds);
    void Wake();
    int32_t SpaceIdOf(const GdiAddress& address) const;
    uint32_t ReplaceMap(host::TStringList& map, int32_t count, GdiMapEntry* entries);

    std::unique_ptr<targetaccess::TGDI_NexusAccess> Access_;
    PollCallbackProc PollCallback_ = nullptr;
    uint32_t PollPeriodMs_ = PollPeriodMs;
    // Written by ExecStop, which may run beside another thread's operation.
    std::atomic<uint32_t> LastExitCause_{0};
    bool AdaptivePoll_ = false;
    PollSleepFn pollSleep_ = &platform::SleepMicroseconds;
    // Set by Cancel and Close; cleared when ExecContinue or ExecSingleStep
    // begins, so a cancel counts from then on, not only during the wait.
    std::atomic<bool> CancelRequested_{false};
    CpuFamily CpuFamily_ = Family51;
    WordArray TransferBuffer_;

    // Set by Close; unlike a cancel it is never cleared, so a wait that
    // starts after the close ends at once.
    std::atomic<bool> closing_{false};

    // One operation at a time: every operation that reaches the target, the
    // maps or TransferBuffer_ holds it to its end, a run wait included, so
    // that front-end threads calling at once cannot mix their transfers.
    // Recursive: the poll callback, run inside a wait on the waiting thread,
    // may call in again. Cancel, Close and ExecStop never take it, so that
    // they can end or halt a run; the answers from fixed data need none.
    using OperationGuard = std::lock_guard<std::recursive_mutex>;
    std::recursive_mutex operationLock_;
    struct SleeperCloser {
        void operator()(void* sleeper) const { platform::CloseSleeper(sleeper); }
    };
    // Null when the system had none to give: the sleeps then run their full
    // length, and a cancel or close is seen at the end of the cycle.
    std::unique_ptr<void, SleeperCloser> sleeper_{platform::CreateSleeper()};
};

}  // namespace gdi
