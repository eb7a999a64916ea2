// The host client interface.
#pragma once

#include "host/ComSupport.h"

namespace host {

// {4C11EF71-6297-4E2B-90D1-7F5F1A9E2ADE}
inline constexpr Guid IID_IClient = {0x4C11EF71, 0x6297, 0x4E2B, {0x90, 0xD1, 0x7F, 0x5F, 0x1A, 0x9E, 0x2A, 0xDE}};

class IClient : public ComInterface {
public:
    // Asks the host to load one of its server modules by name; the answer is
    // of no use to the module.
    void LoadServerModule(const char16_t* name) {
        int32_t ignored = 0;
        Invoke<30>(name, &ignored);
    }
};

// The host's client object, fetched once at load. Held without a reference of
// the module's own (the host keeps it alive while the module is loaded);
// users take a counted copy.
extern IClient* g_ClientInterface;

// Binds the host entry points if needed and fetches the client interface.
void InitClientInterface();

}  // namespace host
