#include "platform/Platform.h"

#include <windows.h>
#include <oleauto.h>

#include <new>

// Windows 10 1803 and later: a waitable timer that expires to the tick of
// the performance counter instead of the system's timer interrupt.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

ModuleHandle MainProgramHandle() { return GetModuleHandleA(nullptr); }
ModuleHandle FindLoadedLibrary(const char* fileName) { return GetModuleHandleA(fileName); }
ModuleHandle LoadLibraryFile(const std::string& path) { return LoadLibraryA(path.c_str()); }

void UnloadLibrary(ModuleHandle handle) {
    if (handle) FreeLibrary(static_cast<HMODULE>(handle));
}

ExportAddress FindExport(ModuleHandle module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<ExportAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string ExecutableDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, n);
    const auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

const char* FlowLibraryFileName() { return "Weavemill.DLL"; }

EventHandle CreateManualEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

void CloseEvent(EventHandle event) {
    if (event) CloseHandle(event);
}

bool IsEventSignalled(EventHandle event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

std::optional<std::string> EnvironmentValue(const char* name) {
    if (!name) return std::nullopt;
    // The size asked for includes the terminating NUL; a variable may change
    // between the two calls, so ask again while the buffer is too small.
    std::string value;
    DWORD size = 64;
    for (;;) {
        value.assign(size, '\0');
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableA(name, value.data(), size);
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (n < size) {
            value.resize(n);
            return value;
        }
        size = n;
    }
}

bool SetEnvironmentValue(const char* name, const char* value) {
    return name && SetEnvironmentVariableA(name, value) != 0;
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }
uint32_t TickCount() { return GetTickCount(); }
void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

namespace {
// The wake is an auto-reset event, so that a wake is used up by the sleep it
// ends. The timer is a synchronization timer, reset by the wait it ends and
// by every SetWaitableTimer.
struct Sleeper {
    HANDLE wake = nullptr;
    HANDLE timer = nullptr;
    bool highResolution = false;
    ~Sleeper() {
        if (timer) CloseHandle(timer);
        if (wake) CloseHandle(wake);
    }
};

// Below this length a timer without high resolution would oversleep to the
// next timer interrupt (up to 15.6 ms); such a sleep yields instead until the
// performance counter reaches its end.
constexpr uint32_t kYieldBelowUs = 2000;

int64_t CounterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t CounterFrequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

bool WokenNow(HANDLE wake) { return WaitForSingleObject(wake, 0) == WAIT_OBJECT_0; }
}  // namespace

SleeperHandle CreateSleeper() {
    auto* sleeper = new (std::nothrow) Sleeper;
    if (!sleeper) return nullptr;
    sleeper->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    sleeper->timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    sleeper->highResolution = sleeper->timer != nullptr;
    if (!sleeper->timer) sleeper->timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (!sleeper->wake || !sleeper->timer) {
        delete sleeper;
        return nullptr;
    }
    return sleeper;
}

void CloseSleeper(SleeperHandle sleeper) { delete static_cast<Sleeper*>(sleeper); }

bool SleepMicroseconds(SleeperHandle handle, uint32_t microseconds) {
    auto* sleeper = static_cast<Sleeper*>(handle);
    const bool coarse = !sleeper || !sleeper->highResolution;
    if (coarse && microseconds < kYieldBelowUs) {
        const int64_t end = CounterNow() + static_cast<int64_t>(microseconds) * CounterFrequency() / 1000000;
        do {
            if (sleeper && WokenNow(sleeper->wake)) return true;
            SwitchToThread();
        } while (CounterNow() < end);
        return false;
    }
    if (!sleeper) {
        Sleep(microseconds / 1000);
        return false;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;  // relative, in 100 ns
    if (!SetWaitableTimer(sleeper->timer, &due, 0, nullptr, nullptr, FALSE))
        return WaitForSingleObject(sleeper->wake, (microseconds + 999) / 1000) == WAIT_OBJECT_0;
    const HANDLE handles[] = {sleeper->wake, sleeper->timer};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
        CancelWaitableTimer(sleeper->timer);
        return true;
    }
    return false;
}

void WakeSleeper(SleeperHandle handle) {
    if (auto* sleeper = static_cast<Sleeper*>(handle)) SetEvent(sleeper->wake);
}

BSTR AllocBstr(const char16_t* text, std::size_t length) {
    return reinterpret_cast<BSTR>(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), static_cast<UINT>(length)));
}

void FreeBstr(BSTR text) { SysFreeString(reinterpret_cast<::BSTR>(text)); }
std::size_t BstrLength(const char16_t* text) { return SysStringLen(reinterpret_cast<::BSTR>(const_cast<char16_t*>(text))); }

std::u16string AnsiToWide(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, reinterpret_cast<wchar_t*>(wide.data()), units);
    return wide;
}

std::string WideToAnsi(std::u16string_view text) {
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int size = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, size, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

}  // namespace platform
