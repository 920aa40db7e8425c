#include "CError.h"

#include <cstring>

#include "platform/errors.h"
#include "platform/text.h"

CError::CError(const wchar_t *message) {
    std::wcsncpy(wideMessage, message, kErrorMessageCapacity - 1);
    wideMessage[kErrorMessageCapacity - 1] = L'\0';

    // Zeroed first, so that a text whose narrow form does not fit keeps what
    // was converted, terminated.
    std::memset(narrowMessage, 0, sizeof narrowMessage);
    if (WideCharToMultiByte(CP_ACP, 0, wideMessage, -1, narrowMessage, kErrorMessageCapacity, "?", nullptr) == 0) {
        narrowMessage[kErrorMessageCapacity - 1] = '\0';
    }
}

void ThrowError(const wchar_t *message) {
    throw CError(message);
}

void ThrowLastError(const wchar_t *format) {
    const DWORD error = GetLastError();
    wchar_t message[kErrorMessageCapacity];
    if (std::swprintf(message, kErrorMessageCapacity, format, static_cast<int>(error)) < 0) {
        message[kErrorMessageCapacity - 1] = L'\0';
    }
    ThrowError(message);
}
