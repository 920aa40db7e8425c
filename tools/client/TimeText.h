// FILETIMEs (UTC, 100 ns since 1601-01-01) as ISO 8601 text.
#pragma once

#include <string>

#include "platform/clock.h"

// "2026-12-07T02:35:01.123Z": UTC, milliseconds truncated. Computed here
// rather than by the C library, so that both targets give the same text for
// every FILETIME.
std::string TimeText(const FILETIME &time);
inline bool IsZeroTime(const FILETIME &time) {
    return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
}
