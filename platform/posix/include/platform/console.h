// The process's console: Ctrl-C handling and detaching from the terminal.
// On Linux the Ctrl-C event is SIGINT; every other signal keeps its default.
#pragma once

#include "platform/win_types.h"

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

using PHANDLER_ROUTINE = BOOL(WINAPI *)(DWORD ctrlType);

// The process keeps the terminal it was started from; nothing to create.
BOOL AllocConsole();
// Standard streams go to /dev/null and terminal signals no longer reach the
// process (it leaves the terminal's session where it can).
BOOL FreeConsole();
// Adds (add TRUE) or removes a handler; the most recently added runs first and
// a handler that returns FALSE passes the event on. SIGINT reaches the chain
// as CTRL_C_EVENT; with no handler left it gets its default action again.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
