// The calling thread's last system error, as GetLastError reports it on
// Windows. On Linux it is errno, so the numbers are the system's own.
#pragma once

#include "platform/win_types.h"

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_PARAMETER 22L
#define ERROR_INSUFFICIENT_BUFFER 105L

DWORD GetLastError();
void SetLastError(DWORD error);
