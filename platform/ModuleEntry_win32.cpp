// The library's entry routine: runs after static initialisation on load.
#include <windows.h>

namespace platform {
void OnModuleAttach();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) platform::OnModuleAttach();
    return TRUE;
}
