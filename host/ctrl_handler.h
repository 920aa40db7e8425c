// The console control handler of the console modes.
#pragma once

#include "platform/console.h"

// Ctrl-C asks the service loop to stop and counts as handled; every other
// event is passed on to the next handler (by default the system's).
BOOL WINAPI ctrl_handler(DWORD event);
