// The library's entry routine: runs after static initialisation on load.
namespace platform {
void OnModuleAttach();
}

namespace {
[[gnu::constructor(65535)]] void LibraryEntry() { platform::OnModuleAttach(); }
}  // namespace
