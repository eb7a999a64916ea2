#include "tests/support/FailingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

thread_local int t_countdown = -1;
thread_local bool t_failed = false;
std::atomic<std::size_t> g_sizeLimit{0};

void* Allocate(std::size_t size) noexcept {
    const std::size_t limit = g_sizeLimit.load(std::memory_order_relaxed);
    if (limit != 0 && size > limit) return nullptr;
    if (t_countdown >= 0 && t_countdown-- == 0) {
        t_failed = true;
        return nullptr;
    }
    return std::malloc(size ? size : 1);
}

void* AllocateOrThrow(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}

// The nothrow forms are not counted: what fails is what throws.
void* AllocateUncounted(std::size_t size) noexcept { return std::malloc(size ? size : 1); }

}  // namespace

namespace alloctest {

void FailAllocation(int n) {
    t_failed = false;
    t_countdown = n;
}

bool Disarm() {
    t_countdown = -1;
    return t_failed;
}

int Suspend() { return std::exchange(t_countdown, -1); }

void Resume(int suspended) { t_countdown = suspended; }

void LimitAllocationSize(std::size_t bytes) { g_sizeLimit = bytes; }

}  // namespace alloctest

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateUncounted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateUncounted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
