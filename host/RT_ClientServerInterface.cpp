#include "host/RT_ClientServerInterface.h"

#include "host/ClientProcs.h"

namespace host {

IClient* g_ClientInterface = nullptr;

void InitClientInterface() {
    BindHostClientApi();
    if (!g_HostClientApi.ClientAPI_GetClientInterface) return;
    ComPtr<IClient> received;
    g_HostClientApi.ClientAPI_GetClientInterface(received.Put());
    g_ClientInterface = received.Get();
}

}  // namespace host
