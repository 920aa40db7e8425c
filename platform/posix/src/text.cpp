#include "platform/text.h"

#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/errors.h"

int WideCharToMultiByte(UINT /*codePage*/, DWORD /*flags*/, LPCWSTR wide, int wideLength, LPSTR narrow, int narrowSize,
                        LPCSTR defaultChar, BOOL *usedDefaultChar) {
    if (wide == nullptr || narrowSize < 0 || (narrowSize > 0 && narrow == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t count = wideLength < 0 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wideLength);
    const char fallback = (defaultChar != nullptr && defaultChar[0] != '\0') ? defaultChar[0] : '?';
    if (usedDefaultChar != nullptr) *usedDefaultChar = FALSE;

    std::mbstate_t state{};
    int written = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char bytes[MB_LEN_MAX];
        std::size_t n = 1;
        if (wide[i] == L'\0') {
            bytes[0] = '\0';
        } else {
            n = std::wcrtomb(bytes, wide[i], &state);
            if (n == static_cast<std::size_t>(-1)) {
                bytes[0] = fallback;
                n = 1;
                state = std::mbstate_t{};
                if (usedDefaultChar != nullptr) *usedDefaultChar = TRUE;
            }
        }
        if (narrowSize > 0) {
            if (written + static_cast<int>(n) > narrowSize) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(narrow + written, bytes, n);
        }
        written += static_cast<int>(n);
    }
    return written;
}
