// The system clock as a FILETIME (UTC, 100-ns units since 1601-01-01) and the
// millisecond sleep.
#pragma once

#include "platform/win_types.h"

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

void GetSystemTimeAsFileTime(FILETIME *now);
void Sleep(DWORD milliseconds);
