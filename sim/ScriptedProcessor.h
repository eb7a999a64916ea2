// A processor whose every answer a test sets in a few lines.
//
//   auto cpu = std::make_shared<sim::ScriptedProcessor>();
//   cpu->AddRegister("R0", 0x1234);
//   cpu->AddMemorySpace("DATA", /*transferLimit=*/256);
//   cpu->SetBreakpointSpace(7);
//   cpu->onContinue = {.haltAfterQueries = 2, .stopPc = 0x104};
//
// Run state: not started after construction and Reset, running after
// Continue (and after Step while it has not halted), halted after Pause or
// when a run ends. A run ends after the configured number of state queries
// (IsHalted, IsRunning or IsNotStarted while running): 0 ends it at once,
// Never keeps it running until Pause.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "sim/ProcessorCore.h"

namespace sim {

class ScriptedProcessor : public ProcessorCore {
public:
    static constexpr int Never = -1;

    struct RunBehaviour {
        int haltAfterQueries = 0;
        // The PC when the run ends; no value: Step adds stepSize per step,
        // Continue leaves the PC alone.
        std::optional<uint32_t> stopPc;
    };

    struct MemorySpace {
        std::string name;
        uint32_t transferLimit;
        std::map<uint64_t, uint32_t> words;  // missing addresses read 0
        bool beginDownloadAnswer = true;
        bool endDownloadAnswer = true;
    };

    struct Register {
        std::string name;
        uint32_t value;
    };

    ScriptedProcessor();

    // Configuration. The program counter is register "PC" (index 0) unless
    // SetPcRegister names another.
    int32_t AddRegister(const std::string& name, uint32_t value = 0);
    void SetPcRegister(int32_t index) { pcIndex_ = index; }
    int32_t AddMemorySpace(const std::string& name, uint32_t transferLimit);
    void SetBreakpointSpace(std::optional<uint32_t> id) { breakpointSpaceId_ = id; }
    // All three state queries answer false.
    bool answersAllFalse = false;
    RunBehaviour onContinue{Never, std::nullopt};
    RunBehaviour onStep{0, std::nullopt};
    uint32_t stepSize = 4;
    uint32_t resetPc = 0;
    // Runs at the end of every Continue, on the continuing thread: lets a
    // test change the host's answers once the processor has been started.
    std::function<void()> afterContinue;
    // Counts answered instead of the real ones (GetRegisterCount,
    // GetMemorySpaceCount), for hosts that report zero or negative counts.
    std::optional<int32_t> registerCountAnswer;
    std::optional<int32_t> memorySpaceCountAnswer;

    // Inspection and direct access for tests.
    MemorySpace& Space(int32_t index) { return spaces_.at(static_cast<std::size_t>(index)); }
    uint32_t Word(int32_t space, uint64_t address);
    void SetWord(int32_t space, uint64_t address, uint32_t value);
    uint32_t Pc();
    void SetPc(uint32_t pc);
    std::set<uint64_t> Breakpoints();
    enum class State { NotStarted, Running, Halted };
    State state();
    void SetState(State state);

    // ProcessorCore
    void Reset() override;
    void Pause() override;
    void Continue() override;
    void Step(uint32_t count) override;
    bool IsHalted() override;
    bool IsNotStarted() override;
    bool IsRunning() override;
    int32_t RegisterCount() override;
    std::string RegisterName(int32_t index) override;
    int32_t PcIndex() override;
    uint32_t ReadRegister(int32_t index) override;
    void WriteRegister(int32_t index, uint32_t value) override;
    int32_t MemorySpaceCount() override;
    std::string MemorySpaceName(int32_t index) override;
    uint32_t TransferLimit(int32_t index) override;
    bool ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) override;
    bool BeginDownload(int32_t index) override;
    bool EndDownload(int32_t index) override;
    std::optional<uint32_t> BreakpointSpaceId() override;
    bool HasBreakpoint(uint32_t spaceId, uint64_t address) override;
    bool AddBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveBreakpoint(uint32_t spaceId, uint64_t address) override;
    void RemoveAllBreakpoints() override;

private:
    void StartRun(const RunBehaviour& behaviour, std::optional<uint32_t> endPc);
    void CountQuery();
    void EndRun();

    std::recursive_mutex lock_;
    std::vector<Register> registers_;
    std::vector<MemorySpace> spaces_;
    int32_t pcIndex_ = 0;
    std::optional<uint32_t> breakpointSpaceId_;
    std::set<uint64_t> breakpoints_;
    State state_ = State::NotStarted;
    int queriesLeft_ = 0;
    std::optional<uint32_t> runEndPc_;
};

}  // namespace sim
