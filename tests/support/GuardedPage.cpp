#include "tests/support/GuardedPage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace diorx_test {

GuardedPage::GuardedPage() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size_ = info.dwPageSize;
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (base_ && !VirtualProtect(base_ + size_, size_, PAGE_NOACCESS, &old)) Release();
#else
    size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    if (base_ && mprotect(base_ + size_, size_, PROT_NONE) != 0) Release();
#endif
}

GuardedPage::~GuardedPage() { Release(); }

void GuardedPage::Release() {
    if (!base_) return;
#ifdef _WIN32
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, 2 * size_);
#endif
    base_ = nullptr;
}

}  // namespace diorx_test
