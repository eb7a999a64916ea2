// One writable page followed by a page that cannot be touched: an array
// placed to end at the page's end shows a write past its end at once, as an
// access fault, instead of as quiet damage to whatever lies beyond.
#pragma once

#include <cstddef>
#include <cstdint>

namespace diorx_test {

class GuardedPage {
public:
    GuardedPage();
    ~GuardedPage();
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    bool ok() const { return base_ != nullptr; }
    std::size_t size() const { return size_; }
    uint8_t* begin() const { return base_; }
    // The first byte that cannot be touched.
    uint8_t* end() const { return base_ + size_; }

private:
    void Release();

    uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace diorx_test
