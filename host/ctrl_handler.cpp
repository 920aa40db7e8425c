#include "ctrl_handler.h"

#include "entry_flags.h"

BOOL WINAPI ctrl_handler(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    stop_requests.fetch_add(1);
    return TRUE;
}
