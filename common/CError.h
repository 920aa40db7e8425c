// The one exception type of the server: a fixed wide message and its narrow
// copy in the ANSI code page, which is what every catcher logs or prints.
#pragma once

#include <cwchar>

constexpr int kErrorMessageCapacity = 2048;

struct CError {
    wchar_t wideMessage[kErrorMessageCapacity];
    char narrowMessage[kErrorMessageCapacity];

    // A message longer than the field is cut; both fields stay terminated.
    explicit CError(const wchar_t *message);
};

[[noreturn]] void ThrowError(const wchar_t *message);
// Renders format with the calling thread's last system error number as its
// only argument ("%d"); call it right after the failing system call.
[[noreturn]] void ThrowLastError(const wchar_t *format);
