// Conversion of wide text to the narrow "ANSI" encoding. On Linux the ANSI code
// page is the current locale's narrow encoding (LC_CTYPE).
#pragma once

#include "platform/win_types.h"

#define CP_ACP 0

// Same contract as the Win32 call, for the forms the server uses: code page
// CP_ACP, flags 0. wideLength -1 converts up to and including the terminator.
// Each character the encoding cannot represent becomes defaultChar (one byte).
// With narrowSize 0 it returns the size needed; otherwise the bytes written,
// or 0 with ERROR_INSUFFICIENT_BUFFER when the output does not fit (what fitted
// is written).
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR narrow, int narrowSize,
                        LPCSTR defaultChar, BOOL *usedDefaultChar);
