// The service run on the main thread: the server's own reference, the polling
// loop and the shutdown that follows it.
#pragma once

#include "platform/win_types.h"

// One polling pass; the driver's by default. A test build of the server
// replaces it to make the loop fail.
extern void (*poll_pass)();

// Runs until Ctrl-C, an escaped exception or the end of the server's
// references; then revokes the class object (cookie), tears the driver and the
// toolkit service down and uninitialises COM.
void service_run(DWORD cookie);

// The loop: 50 ms sleep, log refresh when due, one polling pass; the stop flags
// are tested before each sleep. Exceptions end it; they are logged, not passed on.
void UpdateTags();
