// Binding the host executable's entry points, and fetching the Nexus
// workspace from the host's flow library.
#include <gtest/gtest.h>

#include <string>

#include "host/ClientProcs.h"
#include "host/RT_ClientServerInterface.h"
#include "host/Rt_NexusWorkspace.h"
#include "tests/support/MainThread.h"
#include "tests/support/SimFixture.h"

// The entry points this test program exports as the host executable.
extern "C" {
void DI_STDCALL ClientAPI_GetClientInterface(void** client);
void DI_STDCALL ClientAPI_Synchronize(void* call);
void DI_STDCALL ClientAPI_RemoveSynchronize(void* call);
int32_t DI_STDCALL ClientAPI_CheckSynchronize(int32_t);
}

namespace {

using host::ComPtr;
using host::HRESULT;
using host::INexusWorkspace;

template <class A, class B>
bool Same(A a, B b) {
    return reinterpret_cast<void*>(a) == reinterpret_cast<void*>(b);
}

void ExpectBoundToThisProgram(const host::HostClientApi& api) {
    EXPECT_TRUE(api.HostClientApiBound);
    EXPECT_EQ(api.HostModule, platform::MainProgramHandle());
    EXPECT_TRUE(Same(api.ClientAPI_GetClientInterface, &ClientAPI_GetClientInterface));
    EXPECT_TRUE(Same(api.ClientAPI_Synchronize, &ClientAPI_Synchronize));
    EXPECT_TRUE(Same(api.ClientAPI_RemoveSynchronize, &ClientAPI_RemoveSynchronize));
    EXPECT_TRUE(Same(api.ClientAPI_CheckSynchronize, &ClientAPI_CheckSynchronize));
}

void ExpectAllNull(const host::HostClientApi& api) {
    EXPECT_TRUE(api.HostClientApiBound);
    EXPECT_EQ(api.ClientAPI_GetClientInterface, nullptr);
    EXPECT_EQ(api.ClientAPI_Synchronize, nullptr);
    EXPECT_EQ(api.ClientAPI_RemoveSynchronize, nullptr);
    EXPECT_EQ(api.ClientAPI_CheckSynchronize, nullptr);
}

int32_t ClientReferences() {
    return static_cast<sim::SimObject*>(sim::Host::Instance().ClientObject())->refs.load();
}

// ---- Entry points --------------------------------------------------------

TEST(BindHostClientApiTest, BindsTheFourEntryPointsOfTheHostExecutable) {
    host::HostClientApi api;
    host::BindHostClientApi(api, platform::MainProgramHandle());
    ExpectBoundToThisProgram(api);
}

TEST(BindHostClientApiTest, ModuleExportingNoneLeavesEveryEntryNull) {
    const std::string path = platform::ExecutableDirectory() + "/" + platform::FlowLibraryFileName();
    platform::ModuleHandle flowLibrary = platform::LoadLibraryFile(path);
    ASSERT_NE(flowLibrary, nullptr) << path;

    struct Case {
        const char* name;
        platform::ModuleHandle module;
    };
    for (const Case& c : {Case{"no module", nullptr}, Case{"a library without the entry points", flowLibrary}}) {
        SCOPED_TRACE(c.name);
        host::HostClientApi api;
        host::BindHostClientApi(api, c.module);
        EXPECT_EQ(api.HostModule, c.module);
        ExpectAllNull(api);
    }
    platform::UnloadLibrary(flowLibrary);
}

TEST(BindHostClientApiTest, LaterBindsChangeNothing) {
    {
        SCOPED_TRACE("bound to the program, then asked with no module");
        host::HostClientApi api;
        host::BindHostClientApi(api, platform::MainProgramHandle());
        host::BindHostClientApi(api, nullptr);
        host::BindHostClientApi(api, nullptr);
        ExpectBoundToThisProgram(api);
    }
    {
        SCOPED_TRACE("bound to no module, then asked with the program");
        host::HostClientApi api;
        host::BindHostClientApi(api, nullptr);
        host::BindHostClientApi(api, platform::MainProgramHandle());
        EXPECT_EQ(api.HostModule, nullptr);
        ExpectAllNull(api);
    }
}

TEST(BindHostClientApiTest, ModuleLoadBoundTheTableAndKeptNoClientReference) {
    ExpectBoundToThisProgram(host::g_HostClientApi);

    // Once bound, the table is not bound again: an entry cleared by hand
    // stays cleared.
    const host::HostClientApi saved = host::g_HostClientApi;
    host::g_HostClientApi.ClientAPI_CheckSynchronize = nullptr;
    host::BindHostClientApi();
    EXPECT_EQ(host::g_HostClientApi.ClientAPI_CheckSynchronize, nullptr);
    host::g_HostClientApi = saved;

    EXPECT_TRUE(Same(host::g_ClientInterface, sim::Host::Instance().ClientObject()));
    // The client object's own reference is the only one left.
    EXPECT_EQ(ClientReferences(), 1);
}

// ---- LoadNexusWorkspace with a stand-in flow library ----------------------

// What FindLibrary and FindExport answer, and what they were asked.
struct FakeFlowLibrary {
    static inline int libraryToken = 0;
    static inline platform::ModuleHandle loaded = nullptr;
    static inline bool exportsWorkspace = true;
    static inline HRESULT workspaceStatus = host::S_OK;
    static inline int findLibraryCalls = 0;
    static inline int findExportCalls = 0;
    static inline int workspaceCalls = 0;
    static inline std::string libraryAskedFor;
    static inline std::string exportAskedFor;

    static void Reset() {
        loaded = nullptr;
        exportsWorkspace = true;
        workspaceStatus = host::S_OK;
        findLibraryCalls = findExportCalls = workspaceCalls = 0;
        libraryAskedFor.clear();
        exportAskedFor.clear();
    }

    static platform::ModuleHandle FindLibrary(const char* fileName) {
        ++findLibraryCalls;
        libraryAskedFor = fileName;
        return loaded;
    }
    static platform::ExportAddress FindExport(platform::ModuleHandle module, const char* name) {
        ++findExportCalls;
        exportAskedFor = name;
        if (module != &libraryToken || !exportsWorkspace) return nullptr;
        return reinterpret_cast<platform::ExportAddress>(&GetNexusWorkspace);
    }
    static HRESULT DI_STDCALL GetNexusWorkspace(INexusWorkspace** workspace) {
        ++workspaceCalls;
        if (workspaceStatus < 0) return workspaceStatus;
        *workspace = reinterpret_cast<INexusWorkspace*>(sim::NewWorkspace());
        return host::S_OK;
    }
};

class LoadWorkspaceTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        probe.Log().Enable();  // these tests read the host's call log
        FakeFlowLibrary::Reset();
        host.clientLoadsFlowLibrary = false;
    }

    // One call; the variable starts out non-null to show that it is cleared.
    HRESULT Load(ComPtr<INexusWorkspace>& workspace, host::IClient* client = host::g_ClientInterface) {
        INexusWorkspace* raw = reinterpret_cast<INexusWorkspace*>(&FakeFlowLibrary::libraryToken);
        // The module loads the workspace only inside call objects, on the host's main thread.
        const HRESULT status = OnMainThread([&] { return host::LoadNexusWorkspace(binding, client, &raw); });
        workspace = ComPtr<INexusWorkspace>::Attach(raw);
        return status;
    }

    void LibraryAppears() { FakeFlowLibrary::loaded = &FakeFlowLibrary::libraryToken; }

    host::FlowLibraryBinding binding{nullptr, nullptr, &FakeFlowLibrary::FindLibrary, &FakeFlowLibrary::FindExport};
};

TEST_F(LoadWorkspaceTest, ClientIsAskedAgainUntilTheLibraryIsFound) {
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        ComPtr<INexusWorkspace> workspace;
        EXPECT_EQ(Load(workspace), host::S_OK);
        EXPECT_FALSE(workspace);
        EXPECT_EQ(probe.loadServerModuleCalls(), call);
        EXPECT_EQ(FakeFlowLibrary::findLibraryCalls, call);
        EXPECT_EQ(FakeFlowLibrary::findExportCalls, 0);
        EXPECT_EQ(binding.FlowLibraryHandle, nullptr);
    }
    EXPECT_EQ(host.lastServerModuleName(), u"Weavemill");
    EXPECT_EQ(FakeFlowLibrary::libraryAskedFor, platform::FlowLibraryFileName());
}

TEST_F(LoadWorkspaceTest, FoundLibraryIsRememberedAndAskedDirectly) {
    LibraryAppears();
    for (int call = 1; call <= 3; ++call) {
        SCOPED_TRACE(call);
        ComPtr<INexusWorkspace> workspace;
        EXPECT_EQ(Load(workspace), host::S_OK);
        EXPECT_TRUE(workspace);
        EXPECT_EQ(FakeFlowLibrary::workspaceCalls, call);
        EXPECT_EQ(probe.loadServerModuleCalls(), 1);
        EXPECT_EQ(FakeFlowLibrary::findLibraryCalls, 1);
        EXPECT_EQ(FakeFlowLibrary::findExportCalls, 1);
    }
    EXPECT_EQ(FakeFlowLibrary::exportAskedFor, "GetNexusWorkspace");
    EXPECT_EQ(ClientReferences(), 1);
}

TEST_F(LoadWorkspaceTest, LibraryWithoutTheExportIsNotLookedUpAgain) {
    LibraryAppears();
    FakeFlowLibrary::exportsWorkspace = false;
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        ComPtr<INexusWorkspace> workspace;
        EXPECT_EQ(Load(workspace), host::S_OK);
        EXPECT_FALSE(workspace);
        EXPECT_EQ(probe.loadServerModuleCalls(), 1);
        EXPECT_EQ(FakeFlowLibrary::findLibraryCalls, 1);
        EXPECT_EQ(FakeFlowLibrary::findExportCalls, 1);
    }
    // Even an export that turns up later is not seen.
    FakeFlowLibrary::exportsWorkspace = true;
    ComPtr<INexusWorkspace> workspace;
    EXPECT_EQ(Load(workspace), host::S_OK);
    EXPECT_FALSE(workspace);
    EXPECT_EQ(FakeFlowLibrary::workspaceCalls, 0);
}

TEST_F(LoadWorkspaceTest, WithoutAClientTheLibraryIsLookedUpDirectly) {
    LibraryAppears();
    ComPtr<INexusWorkspace> workspace;
    EXPECT_EQ(Load(workspace, nullptr), host::S_OK);
    EXPECT_TRUE(workspace);
    EXPECT_EQ(probe.loadServerModuleCalls(), 0);
    EXPECT_EQ(FakeFlowLibrary::findLibraryCalls, 1);
}

TEST_F(LoadWorkspaceTest, FailingCallsInsideGiveUnexpectedAndReleaseTheClient) {
    {
        SCOPED_TRACE("GetNexusWorkspace fails");
        LibraryAppears();
        FakeFlowLibrary::workspaceStatus = static_cast<HRESULT>(0x80004005u);
        ComPtr<INexusWorkspace> workspace;
        EXPECT_EQ(Load(workspace), host::E_UNEXPECTED);
        EXPECT_FALSE(workspace);
        EXPECT_EQ(FakeFlowLibrary::workspaceCalls, 1);
        EXPECT_EQ(ClientReferences(), 1);
    }
    FakeFlowLibrary::Reset();
    binding = {nullptr, nullptr, &FakeFlowLibrary::FindLibrary, &FakeFlowLibrary::FindExport};
    {
        SCOPED_TRACE("LoadServerModule fails");
        LibraryAppears();
        probe.InjectFault("IClient::LoadServerModule", static_cast<HRESULT>(0x80004005u));
        ComPtr<INexusWorkspace> workspace;
        EXPECT_EQ(Load(workspace), host::E_UNEXPECTED);
        EXPECT_FALSE(workspace);
        EXPECT_EQ(FakeFlowLibrary::findLibraryCalls, 0);
        EXPECT_EQ(binding.FlowLibraryHandle, nullptr);
        EXPECT_EQ(ClientReferences(), 1);
    }
}

// ---- LoadNexusWorkspace through the simulated host -----------------------

TEST_F(LoadWorkspaceTest, RealFlowLibraryIsLoadedByTheClientAndHandsOutTheWorkspace) {
    host.clientLoadsFlowLibrary = true;
    AddCpu("CPU");
    host::FlowLibraryBinding real;  // the platform's own lookups
    OnMainThread([&] {
        for (int call = 1; call <= 2; ++call) {
            SCOPED_TRACE(call);
            ComPtr<INexusWorkspace> workspace;
            ASSERT_EQ(host::LoadNexusWorkspace(real, host::g_ClientInterface, workspace.Put()), host::S_OK);
            ASSERT_TRUE(workspace);
            EXPECT_TRUE(workspace->FindByDesignator(host::BStr::FromAnsi("CPU").Get()));
            EXPECT_FALSE(workspace->FindByDesignator(host::BStr::FromAnsi("GPU").Get()));
            EXPECT_EQ(probe.loadServerModuleCalls(), 1);
            EXPECT_EQ(probe.Log().Count("GetNexusWorkspace"), static_cast<std::size_t>(call));
        }
    });
    EXPECT_EQ(real.FlowLibraryHandle, platform::FindLoadedLibrary(platform::FlowLibraryFileName()));
    EXPECT_NE(real.GetNexusWorkspaceEntry, nullptr);
}

}  // namespace
