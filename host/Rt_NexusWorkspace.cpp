#include "host/Rt_NexusWorkspace.h"

namespace host {

FlowLibraryBinding g_FlowLibrary;

HRESULT LoadNexusWorkspace(FlowLibraryBinding& binding, IClient* client, INexusWorkspace** workspace) {
    *workspace = nullptr;
    try {
        if (!binding.FlowLibraryHandle) {
            if (ComPtr<IClient> counted{client}) counted->LoadServerModule(BStr(u"Weavemill").Get());
            binding.FlowLibraryHandle = binding.FindLibrary(platform::FlowLibraryFileName());
            if (binding.FlowLibraryHandle)
                binding.GetNexusWorkspaceEntry = reinterpret_cast<GetNexusWorkspaceProc>(
                    binding.FindExport(binding.FlowLibraryHandle, "GetNexusWorkspace"));
        }
        if (binding.GetNexusWorkspaceEntry) Check(binding.GetNexusWorkspaceEntry(workspace));
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT DI_STDCALL LoadNexusWorkspace(INexusWorkspace** workspace) {
    return LoadNexusWorkspace(g_FlowLibrary, g_ClientInterface, workspace);
}

}  // namespace host
