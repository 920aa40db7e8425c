// The server's one log, created first thing by the entry and deleted last.
#pragma once

#include "unilog.h"

extern unilog *log_handle;
