// Flags that the entry sets and the rest of the server reads.
#pragma once

#include <atomic>

#include "platform/win_types.h"

// 1 in the modes that keep a console: Ctrl-C is handled, the exit message and
// the client attach/detach lines are printed. Written only before COM starts.
extern int use_console;

// Ctrl-C presses so far. Bumped from the console's control thread (a signal
// handler on Linux), read by the service loop without a lock.
extern std::atomic<LONG> stop_requests;
