// The simulated host's flow library. It exports GetNexusWorkspace and hands
// out whatever workspace the simulated host attached when it loaded the
// library; the objects themselves live in the host program.
#include <cstdint>

#include "platform/Platform.h"

namespace {
using WorkspaceProvider = int32_t(DI_STDCALL*)(void** workspace);
WorkspaceProvider g_provider = nullptr;
}  // namespace

extern "C" {

DI_EXPORT void DI_STDCALL WeavemillSim_Attach(WorkspaceProvider provider) { g_provider = provider; }

DI_EXPORT int32_t DI_STDCALL GetNexusWorkspace(void** workspace) {
    *workspace = nullptr;
    return g_provider ? g_provider(workspace) : 0;
}
}
