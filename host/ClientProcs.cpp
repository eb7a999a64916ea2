#include "host/ClientProcs.h"

namespace host {

HostClientApi g_HostClientApi;

namespace {
template <class Proc>
void Bind(Proc& entry, platform::ModuleHandle module, const char* name) {
    entry = reinterpret_cast<Proc>(platform::FindExport(module, name));
}
}  // namespace

void BindHostClientApi(HostClientApi& api, platform::ModuleHandle hostModule) {
    if (api.HostClientApiBound) return;
    api.HostModule = hostModule;
    Bind(api.ClientAPI_GetClientInterface, hostModule, "ClientAPI_GetClientInterface");
    Bind(api.ClientAPI_Synchronize, hostModule, "ClientAPI_Synchronize");
    Bind(api.ClientAPI_RemoveSynchronize, hostModule, "ClientAPI_RemoveSynchronize");
    Bind(api.ClientAPI_CheckSynchronize, hostModule, "ClientAPI_CheckSynchronize");
    api.HostClientApiBound = true;
}

void BindHostClientApi() {
    if (!g_HostClientApi.HostClientApiBound) BindHostClientApi(g_HostClientApi, platform::MainProgramHandle());
}

}  // namespace host
