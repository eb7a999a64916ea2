// Starting a debug session's surroundings: the module loaded by file as a
// front-end loads it, and the simulated host with its Cortex-M. Shared by
// every way the program drives the module.
#pragma once

#include <string>

#include "sim/Boards.h"
#include "tools/common/DiModule.h"

namespace orxdbg {

// The module beside the running program.
std::string DefaultModulePath();

// Loads the module; false with the reason in error.
bool LoadModule(frontend::DiModule& module, const std::string& path, std::string& error);

// Adds a simulated Cortex-M to the host under the designator; false with the
// reason in error.
bool StartSimulatedTarget(const std::string& designator, std::string& error);
// Adds the board's processor: the in-process Cortex-M, or a QEMU machine
// started for it.
bool StartSimulatedTarget(const std::string& designator, const sim::Board& board, std::string& error);

// Why the target was lost (a QEMU that died or hung, with its last words);
// empty while it is fine.
std::string TargetFailure();

// Whether a QEMU board's steps let interrupts and timers run (see
// sim::QemuCore::SetStepInterrupts); the in-process core has no such choice.
void SimulatedStepsTakeInterrupts(bool on);
// Picks the board for --target NAME and makes it the tools' current board;
// false with the known names in error.
bool SelectBoard(const std::string& name, std::string& error);

// Removes the processors; on the main thread, before the program ends.
void StopSimulatedTarget();

}  // namespace orxdbg
