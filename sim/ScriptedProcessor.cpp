#include "sim/ScriptedProcessor.h"

namespace sim {

using Guard = std::lock_guard<std::recursive_mutex>;

ScriptedProcessor::ScriptedProcessor() { registers_.push_back({"PC", 0}); }

int32_t ScriptedProcessor::AddRegister(const std::string& name, uint32_t value) {
    Guard guard(lock_);
    registers_.push_back({name, value});
    return static_cast<int32_t>(registers_.size() - 1);
}

int32_t ScriptedProcessor::AddMemorySpace(const std::string& name, uint32_t transferLimit) {
    Guard guard(lock_);
    spaces_.push_back({name, transferLimit, {}});
    return static_cast<int32_t>(spaces_.size() - 1);
}

uint32_t ScriptedProcessor::Word(int32_t space, uint64_t address) {
    Guard guard(lock_);
    auto& words = Space(space).words;
    auto it = words.find(address);
    return it == words.end() ? 0 : it->second;
}

void ScriptedProcessor::SetWord(int32_t space, uint64_t address, uint32_t value) {
    Guard guard(lock_);
    Space(space).words[address] = value;
}

uint32_t ScriptedProcessor::Pc() {
    Guard guard(lock_);
    return registers_.at(static_cast<std::size_t>(pcIndex_)).value;
}

void ScriptedProcessor::SetPc(uint32_t pc) {
    Guard guard(lock_);
    registers_.at(static_cast<std::size_t>(pcIndex_)).value = pc;
}

std::set<uint64_t> ScriptedProcessor::Breakpoints() {
    Guard guard(lock_);
    return breakpoints_;
}

ScriptedProcessor::State ScriptedProcessor::state() {
    Guard guard(lock_);
    return state_;
}

void ScriptedProcessor::SetState(State state) {
    Guard guard(lock_);
    state_ = state;
}

// ---- Run control ---------------------------------------------------------

void ScriptedProcessor::StartRun(const RunBehaviour& behaviour, std::optional<uint32_t> endPc) {
    state_ = State::Running;
    queriesLeft_ = behaviour.haltAfterQueries;
    runEndPc_ = endPc;
    if (queriesLeft_ == 0) EndRun();
}

void ScriptedProcessor::EndRun() {
    state_ = State::Halted;
    if (runEndPc_) SetPc(*runEndPc_);
}

void ScriptedProcessor::CountQuery() {
    if (state_ != State::Running || queriesLeft_ == Never) return;
    if (--queriesLeft_ <= 0) EndRun();
}

void ScriptedProcessor::Reset() {
    Guard guard(lock_);
    state_ = State::NotStarted;
    SetPc(resetPc);
}

void ScriptedProcessor::Pause() {
    Guard guard(lock_);
    state_ = State::Halted;
}

void ScriptedProcessor::Continue() {
    Guard guard(lock_);
    StartRun(onContinue, onContinue.stopPc);
    if (afterContinue) afterContinue();
}

void ScriptedProcessor::Step(uint32_t count) {
    Guard guard(lock_);
    StartRun(onStep, onStep.stopPc ? onStep.stopPc : std::optional<uint32_t>(Pc() + stepSize * count));
}

bool ScriptedProcessor::IsHalted() {
    Guard guard(lock_);
    CountQuery();
    return !answersAllFalse && state_ == State::Halted;
}

bool ScriptedProcessor::IsNotStarted() {
    Guard guard(lock_);
    CountQuery();
    return !answersAllFalse && state_ == State::NotStarted;
}

bool ScriptedProcessor::IsRunning() {
    Guard guard(lock_);
    CountQuery();
    return !answersAllFalse && state_ == State::Running;
}

// ---- Registers -----------------------------------------------------------

int32_t ScriptedProcessor::RegisterCount() {
    Guard guard(lock_);
    if (registerCountAnswer) return *registerCountAnswer;
    return static_cast<int32_t>(registers_.size());
}

std::string ScriptedProcessor::RegisterName(int32_t index) {
    Guard guard(lock_);
    return registers_.at(static_cast<std::size_t>(index)).name;
}

int32_t ScriptedProcessor::PcIndex() {
    Guard guard(lock_);
    return pcIndex_;
}

uint32_t ScriptedProcessor::ReadRegister(int32_t index) {
    Guard guard(lock_);
    return registers_.at(static_cast<std::size_t>(index)).value;
}

void ScriptedProcessor::WriteRegister(int32_t index, uint32_t value) {
    Guard guard(lock_);
    registers_.at(static_cast<std::size_t>(index)).value = value;
}

// ---- Memory --------------------------------------------------------------

int32_t ScriptedProcessor::MemorySpaceCount() {
    Guard guard(lock_);
    if (memorySpaceCountAnswer) return *memorySpaceCountAnswer;
    return static_cast<int32_t>(spaces_.size());
}

std::string ScriptedProcessor::MemorySpaceName(int32_t index) {
    Guard guard(lock_);
    return Space(index).name;
}

uint32_t ScriptedProcessor::TransferLimit(int32_t index) {
    Guard guard(lock_);
    return Space(index).transferLimit;
}

bool ScriptedProcessor::ReadBlock(int32_t index, uint32_t* buffer, uint64_t address, uint32_t count) {
    Guard guard(lock_);
    for (uint32_t i = 0; i < count; ++i) buffer[i] = Word(index, address + i);
    return true;
}

bool ScriptedProcessor::WriteBlock(int32_t index, const uint32_t* buffer, uint64_t address, uint32_t count) {
    Guard guard(lock_);
    for (uint32_t i = 0; i < count; ++i) Space(index).words[address + i] = buffer[i];
    return true;
}

bool ScriptedProcessor::BeginDownload(int32_t index) {
    Guard guard(lock_);
    return Space(index).beginDownloadAnswer;
}

bool ScriptedProcessor::EndDownload(int32_t index) {
    Guard guard(lock_);
    return Space(index).endDownloadAnswer;
}

// ---- Breakpoints ---------------------------------------------------------

std::optional<uint32_t> ScriptedProcessor::BreakpointSpaceId() {
    Guard guard(lock_);
    return breakpointSpaceId_;
}

bool ScriptedProcessor::HasBreakpoint(uint32_t spaceId, uint64_t address) {
    Guard guard(lock_);
    return breakpointSpaceId_ == spaceId && breakpoints_.count(address) != 0;
}

bool ScriptedProcessor::AddBreakpoint(uint32_t spaceId, uint64_t address) {
    Guard guard(lock_);
    if (breakpointSpaceId_ != spaceId) return false;
    return breakpoints_.insert(address).second;
}

void ScriptedProcessor::RemoveBreakpoint(uint32_t spaceId, uint64_t address) {
    Guard guard(lock_);
    if (breakpointSpaceId_ == spaceId) breakpoints_.erase(address);
}

void ScriptedProcessor::RemoveAllBreakpoints() {
    Guard guard(lock_);
    breakpoints_.clear();
}

}  // namespace sim
