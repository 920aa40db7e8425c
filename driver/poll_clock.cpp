#include "poll_clock.h"

namespace {
void system_clock(FILETIME *now) {
    GetSystemTimeAsFileTime(now);
}
}  // namespace

void (*poll_clock)(FILETIME *now) = system_clock;
