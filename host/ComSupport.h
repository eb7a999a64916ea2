// Calling the host's COM-style objects, and owning references to them.
//
// Host interfaces are described by their slot numbers: a method is a call
// through entry N of the object's function table, stdcall, with the interface
// pointer first and a 32-bit status as result. Each interface method below is
// written as Invoke<N>(...), so the slot number appears once, where the method
// is declared. A negative status becomes a HostError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/Platform.h"

namespace host {

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

// The one error type of the module: a host call answered with a negative status.
class HostError : public std::runtime_error {
public:
    explicit HostError(HRESULT status);
    HRESULT Status() const noexcept { return status_; }

private:
    HRESULT status_;
};

inline void Check(HRESULT status) {
    if (status < 0) throw HostError(status);
}

// Base of every host interface seen from the module. Objects of these types
// are never created by the module; a pointer to one is the host's interface
// pointer.
class ComInterface {
public:
    ComInterface() = delete;

    uint32_t AddRef() { return Slot<1, uint32_t>(); }
    uint32_t Release() { return Slot<2, uint32_t>(); }

protected:
    // Calls slot N and raises on a negative status.
    template <unsigned N, class... Args>
    void Invoke(Args... args) {
        Check(Slot<N, HRESULT>(args...));
    }

    // Calls slot N whose trailing out-argument receives a counted reference
    // to another host object; null when the host has none.
    template <class Object, unsigned N, class... Args>
    auto Fetch(Args... args);

private:
    template <unsigned N, class Result, class... Args>
    Result Slot(Args... args) {
        using Method = Result(DI_STDCALL*)(ComInterface*, Args...);
        auto* const* table = *reinterpret_cast<void* const* const*>(this);
        return reinterpret_cast<Method>(table[N])(this, args...);
    }
};

// Owns one counted reference to a host object (or to one of the module's own
// interfaced objects). Never releases by hand anywhere else.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new counted reference to p.
    explicit ComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Adopts a reference that the caller already owns.
    static ComPtr Attach(T* p) {
        ComPtr result;
        result.p_ = p;
        return result;
    }

    void Reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }

    // Releases what is held and hands out the variable for an out-argument.
    T** Put() {
        Reset();
        return &p_;
    }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

template <class Object, unsigned N, class... Args>
auto ComInterface::Fetch(Args... args) {
    ComPtr<Object> result;
    Invoke<N>(args..., result.Put());
    return result;
}

// Owns one BSTR.
class BStr {
public:
    BStr() = default;
    explicit BStr(std::u16string_view text);
    // Converts from the module's 8-bit text; empty text gives the null BSTR.
    static BStr FromAnsi(std::string_view text);
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;
    BStr(BStr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    BStr& operator=(BStr&& other) noexcept;
    ~BStr() { platform::FreeBstr(p_); }

    platform::BSTR Get() const { return p_; }
    platform::BSTR* Put();
    std::string ToAnsi() const;

private:
    platform::BSTR p_ = nullptr;
};

// Interface identifiers, laid out as the host expects them.
struct Guid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
    friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

}  // namespace host
