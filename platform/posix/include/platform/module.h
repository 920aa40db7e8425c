// The running executable's full path, as the platform reports it for the
// process's own module. On Linux it comes from /proc/self/exe (links resolved).
#pragma once

#include "platform/win_types.h"

// A null name gives the executable itself; any other name is not found.
HMODULE GetModuleHandleW(LPCWSTR moduleName);
// Both copy at most size - 1 characters and always terminate; a path that does
// not fit is cut, the result is then size and the last error
// ERROR_INSUFFICIENT_BUFFER. Result 0 on failure.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
