#include "session_name.h"

#include <cwchar>
#include <new>

namespace {
// Room for "#", the number, the blank and the terminator.
constexpr std::size_t kNumberRoom = 16;
}  // namespace

wchar_t *make_session_name(LONG client, const wchar_t *user) {
    const std::size_t capacity = std::wcslen(user) + kNumberRoom;
    wchar_t *name = new (std::nothrow) wchar_t[capacity];
    if (name == nullptr) return nullptr;
    std::swprintf(name, capacity, L"#%ld %ls", static_cast<long>(client), user);
    return name;
}

void free_session_name(wchar_t *name) {
    delete[] name;
}
