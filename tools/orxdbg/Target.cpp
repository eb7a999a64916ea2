#include "tools/orxdbg/Target.h"

#include <exception>
#include <memory>

#include "platform/Platform.h"
#include "sim/SimHost.h"
#include "sim/arm/ArmCortexMCore.h"
#include "sim/qemu/QemuCore.h"
#include "sim/s51/S51Core.h"
#include "sim/z80/Z80Core.h"
#include "tools/orxdbg/Session.h"

namespace orxdbg {

namespace {
std::weak_ptr<sim::QemuCore> g_qemu;
std::weak_ptr<sim::S51Core> g_s51;
}

std::string DefaultModulePath() { return platform::ExecutableDirectory() + "/" + ORXDBG_MODULE_FILE; }

bool LoadModule(frontend::DiModule& module, const std::string& path, std::string& error) {
    return module.LoadFile(path, error);
}

bool StartSimulatedTarget(const std::string& designator, std::string& error) {
    return StartSimulatedTarget(designator, CurrentBoard(), error);
}

bool StartSimulatedTarget(const std::string& designator, const sim::Board& board, std::string& error) {
    try {
        if (board.kind == sim::CoreKind::Qemu) {
            auto core = std::make_shared<sim::QemuCore>(board);
            g_qemu = core;
            sim::Host::Instance().AddProcessor(designator, std::move(core));
        } else if (board.kind == sim::CoreKind::Z80) {
            sim::Host::Instance().AddProcessor(designator, std::make_shared<sim::Z80Core>());
        } else if (board.kind == sim::CoreKind::S51) {
            auto core = std::make_shared<sim::S51Core>();
            g_s51 = core;
            sim::Host::Instance().AddProcessor(designator, std::move(core));
        } else {
            sim::Host::Instance().AddProcessor(designator, std::make_shared<sim::ArmCortexMCore>());
        }
        return true;
    } catch (const std::exception& e) {
        error = board.kind == sim::CoreKind::InProcess ? std::string("cannot start the simulated Cortex-M: ") + e.what()
                                                       : std::string("cannot start the target: ") + e.what();
        return false;
    }
}

std::string TargetFailure() {
    if (const auto core = g_qemu.lock()) return core->FailureMessage();
    if (const auto core = g_s51.lock()) return core->FailureMessage();
    return {};
}

void SimulatedStepsTakeInterrupts(bool on) {
    if (const auto core = g_qemu.lock()) core->SetStepInterrupts(on);
}

bool SelectBoard(const std::string& name, std::string& error) {
    const sim::Board* board = sim::FindBoard(name);
    if (!board) {
        error = "unknown target '" + name + "'; known:";
        for (const sim::Board& b : sim::Boards()) error += " " + b.name;
        return false;
    }
    SetCurrentBoard(*board);
    return true;
}

void StopSimulatedTarget() { sim::Host::Instance().Reset(); }

}  // namespace orxdbg
