// When the service loop has the log library take up changed settings: each
// time the system clock crosses a 2^28 x 100 ns boundary (about 27 s).
#pragma once

#include "platform/clock.h"

constexpr DWORD kLogRefreshMask = 0xF0000000;

// True when now's low word, masked, differs from *epoch, which then takes it.
bool log_refresh_due(DWORD *epoch, const FILETIME &now);

// The logs of the toolkit and of the server.
void refresh_logs();
