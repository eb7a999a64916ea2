#include "host/ComSupport.h"

#include <cstdio>

namespace host {

namespace {
std::string DescribeStatus(HRESULT status) {
    char text[48];
    std::snprintf(text, sizeof text, "host call failed with status 0x%08X", static_cast<unsigned>(status));
    return text;
}
}  // namespace

HostError::HostError(HRESULT status) : std::runtime_error(DescribeStatus(status)), status_(status) {}

BStr::BStr(std::u16string_view text) {
    if (!text.empty()) {
        p_ = platform::AllocBstr(text.data(), text.size());
        if (!p_) throw std::bad_alloc();
    }
}

BStr BStr::FromAnsi(std::string_view text) { return BStr(platform::AnsiToWide(text)); }

BStr& BStr::operator=(BStr&& other) noexcept {
    if (this != &other) {
        platform::FreeBstr(p_);
        p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
}

platform::BSTR* BStr::Put() {
    platform::FreeBstr(std::exchange(p_, nullptr));
    return &p_;
}

std::string BStr::ToAnsi() const {
    return platform::WideToAnsi(std::u16string_view(p_ ? p_ : u"", platform::BstrLength(p_)));
}

}  // namespace host
