#include "platform/Platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>

namespace platform {

ModuleHandle MainProgramHandle() {
    static void* const self = dlopen(nullptr, RTLD_NOW);
    return self;
}

ModuleHandle FindLoadedLibrary(const char* fileName) {
    void* handle = dlopen(fileName, RTLD_NOW | RTLD_NOLOAD);
    // The loader counts this lookup as a load; the library stays loaded by
    // whoever loaded it first, so the handle remains valid after the close.
    if (handle) dlclose(handle);
    return handle;
}

ModuleHandle LoadLibraryFile(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL); }

void UnloadLibrary(ModuleHandle handle) {
    if (handle) dlclose(handle);
}

ExportAddress FindExport(ModuleHandle module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<ExportAddress>(dlsym(module, name));
}

std::string ExecutableDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string full(path, static_cast<std::size_t>(n));
    return full.substr(0, full.find_last_of('/'));
}

const char* FlowLibraryFileName() { return "libWeavemill.so"; }

namespace {
struct Event {
    std::atomic<bool> signalled{false};
};
}  // namespace

EventHandle CreateManualEvent() { return new (std::nothrow) Event; }
void CloseEvent(EventHandle event) { delete static_cast<Event*>(event); }
bool IsEventSignalled(EventHandle event) { return event && static_cast<Event*>(event)->signalled.load(); }

std::optional<std::string> EnvironmentValue(const char* name) {
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value) return std::nullopt;
    return std::string(value);
}

bool SetEnvironmentValue(const char* name, const char* value) {
    if (!name) return false;
    return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

// A thread's id never changes, so each thread asks the kernel once (Windows
// reads it from thread-local memory too). A forked child's thread is a new
// thread and asks again.
namespace {
thread_local uint32_t t_threadId = 0;
const int t_forgetIdInChild = pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });
}  // namespace

uint32_t CurrentThreadId() {
    if (t_threadId == 0) t_threadId = static_cast<uint32_t>(syscall(SYS_gettid));
    return t_threadId;
}

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t milliseconds) {
    if (milliseconds == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {
struct Sleeper {
    std::mutex lock;
    std::condition_variable wake;
    bool woken = false;
};
}  // namespace

SleeperHandle CreateSleeper() { return new (std::nothrow) Sleeper; }
void CloseSleeper(SleeperHandle sleeper) { delete static_cast<Sleeper*>(sleeper); }

bool SleepMicroseconds(SleeperHandle handle, uint32_t microseconds) {
    auto* sleeper = static_cast<Sleeper*>(handle);
    if (!sleeper) {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
        return false;
    }
    // The timed wait measures against the monotonic clock, to the
    // microsecond (plus the kernel's timer slack).
    std::unique_lock<std::mutex> guard(sleeper->lock);
    const bool woken =
        sleeper->wake.wait_for(guard, std::chrono::microseconds(microseconds), [sleeper] { return sleeper->woken; });
    sleeper->woken = false;
    return woken;
}

void WakeSleeper(SleeperHandle handle) {
    auto* sleeper = static_cast<Sleeper*>(handle);
    if (!sleeper) return;
    std::lock_guard<std::mutex> guard(sleeper->lock);
    sleeper->woken = true;
    sleeper->wake.notify_all();
}

BSTR AllocBstr(const char16_t* text, std::size_t length) {
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + (length + 1) * sizeof(char16_t)));
    if (!block) return nullptr;
    const uint32_t bytes = static_cast<uint32_t>(length * sizeof(char16_t));
    std::memcpy(block, &bytes, sizeof bytes);
    auto* chars = reinterpret_cast<char16_t*>(block + sizeof(uint32_t));
    if (text && length) std::memcpy(chars, text, length * sizeof(char16_t));
    chars[length] = u'\0';
    return chars;
}

void FreeBstr(BSTR text) {
    if (text) std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

std::size_t BstrLength(const char16_t* text) {
    if (!text) return 0;
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - sizeof(uint32_t), sizeof bytes);
    return bytes / sizeof(char16_t);
}

std::u16string AnsiToWide(std::string_view text) {
    std::u16string wide(text.size(), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

std::string WideToAnsi(std::u16string_view text) {
    std::string narrow(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) narrow[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
    return narrow;
}

}  // namespace platform
