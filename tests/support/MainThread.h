// Running module code where the host runs it: on the host's main thread.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "sim/SimHost.h"

// Runs f with the calling thread serving as the simulated host's main thread
// and hands back what f returns. Exceptions pass through.
template <class F>
auto OnMainThread(F f) {
    auto& host = sim::Host::Instance();
    if constexpr (std::is_void_v<decltype(f())>) {
        host.RunAsMainThread(f);
    } else {
        std::optional<decltype(f())> result;
        host.RunAsMainThread([&] { result.emplace(f()); });
        return std::move(*result);
    }
}

// Calls slot N of a COM-style object the way the host does: stdcall, the
// object pointer first.
template <unsigned N, class Result, class... Args>
Result CallSlot(void* object, Args... args) {
    using Method = Result(DI_STDCALL*)(void*, Args...);
    auto* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Method>(table[N])(object, args...);
}
