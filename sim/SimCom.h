// COM-style objects of the simulated host, built from explicit slot tables so
// that the slot layout the host promises is written down here independently
// of the module's own declarations.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/Platform.h"

namespace sim {

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// Objects handed out to the module, alive right now. Tests check it returns
// to zero: every reference the module received was released.
std::atomic<int32_t>& LiveObjects();
// Releases past zero (a reference released twice).
std::atomic<int32_t>& OverReleases();

struct SimObject {
    const void* const* vtable;
    std::atomic<int32_t> refs{1};
    void (*destroy)(SimObject*);
};

// A table of N slots: 0..2 are IUnknown, the rest trap until set.
template <std::size_t N>
class SlotTable {
public:
    SlotTable();
    template <class Fn>
    void Set(std::size_t slot, Fn fn) {
        slots_[slot] = reinterpret_cast<const void*>(fn);
    }
    const void* const* Data() const { return slots_.data(); }

private:
    std::array<const void*, N> slots_;
};

HRESULT DI_STDCALL SimQueryInterface(SimObject* self, const void* iid, void** out);
uint32_t DI_STDCALL SimAddRef(SimObject* self);
uint32_t DI_STDCALL SimRelease(SimObject* self);
[[noreturn]] void UnexpectedSlot();

template <std::size_t N>
SlotTable<N>::SlotTable() {
    slots_.fill(reinterpret_cast<const void*>(&UnexpectedSlot));
    Set(0, &SimQueryInterface);
    Set(1, &SimAddRef);
    Set(2, &SimRelease);
}

// Creates a counted object of type T (which starts with SimObject) with one
// reference for the receiver.
template <class T, class... Args>
T* NewObject(const void* const* vtable, Args&&... args) {
    T* object = new T{{vtable, {1}, [](SimObject* o) { delete static_cast<T*>(o); }}, std::forward<Args>(args)...};
    LiveObjects()++;
    return object;
}

}  // namespace sim
