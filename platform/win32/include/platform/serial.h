// The real Win32 serial communications.
#pragma once

#include <windows.h>

// True for an error of PurgeComm, WriteFile or ReadFile that says the device
// itself is gone (an unplugged USB adapter), so that only closing the handle
// and opening anew can help.
BOOL IsSerialDeviceLost(DWORD error);
