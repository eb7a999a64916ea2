#include "tools/orxdbg/Target.h"

#include <exception>
#include <memory>

#include "platform/Platform.h"
#include "sim/SimHost.h"
#include "sim/arm/ArmCortexMCore.h"

namespace orxdbg {

std::string DefaultModulePath() { return platform::ExecutableDirectory() + "/" + ORXDBG_MODULE_FILE; }

bool LoadModule(frontend::DiModule& module, const std::string& path, std::string& error) {
    return module.LoadFile(path, error);
}

bool StartSimulatedTarget(const std::string& designator, std::string& error) {
    try {
        sim::Host::Instance().AddProcessor(designator, std::make_shared<sim::ArmCortexMCore>());
        return true;
    } catch (const std::exception& e) {
        error = std::string("cannot start the simulated Cortex-M: ") + e.what();
        return false;
    }
}

void StopSimulatedTarget() { sim::Host::Instance().Reset(); }

}  // namespace orxdbg
