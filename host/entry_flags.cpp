#include "entry_flags.h"

int use_console = 0;
std::atomic<LONG> stop_requests{0};

static_assert(std::atomic<LONG>::is_always_lock_free, "the Ctrl-C counter must be safe to bump from a signal handler");
