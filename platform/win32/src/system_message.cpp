#include "platform/system_message.h"

bool SystemMessageText(HRESULT code, std::basic_string<OLECHAR> *text) {
    wchar_t *buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                       reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return false;
    std::wstring found(buffer, length);
    LocalFree(buffer);
    while (!found.empty() && (found.back() == L'\n' || found.back() == L'\r' || found.back() == L' ')) found.pop_back();
    if (found.empty()) return false;
    text->assign(found.begin(), found.end());
    return true;
}
