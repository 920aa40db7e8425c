// Where a polling pass reads the time: the system clock, or a test's clock.
#pragma once

#include "platform/clock.h"

extern void (*poll_clock)(FILETIME *now);
