// The host executable's exported entry points.
//
// The module binds the entry points it uses once, at load, from the
// executable that created the process. A missing export leaves its entry null;
// every caller checks before calling.
#pragma once

#include "platform/Platform.h"

namespace targetaccess {
struct IThreadSynchronize;
}

namespace host {

class IClient;

using GetClientInterfaceProc = void(DI_STDCALL*)(IClient** client);
using SynchronizeProc = void(DI_STDCALL*)(targetaccess::IThreadSynchronize* call);

struct HostClientApi {
    platform::ModuleHandle HostModule = nullptr;
    GetClientInterfaceProc ClientAPI_GetClientInterface = nullptr;
    SynchronizeProc ClientAPI_Synchronize = nullptr;
    SynchronizeProc ClientAPI_RemoveSynchronize = nullptr;
    SynchronizeProc ClientAPI_CheckSynchronize = nullptr;  // bound, never called
    bool HostClientApiBound = false;
};

// The module-wide table.
extern HostClientApi g_HostClientApi;

// Binds the module-wide table from the main program; does nothing once bound.
void BindHostClientApi();
// Binds a given table from a given module; does nothing once that table is bound.
void BindHostClientApi(HostClientApi& api, platform::ModuleHandle hostModule);

}  // namespace host
