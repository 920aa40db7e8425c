// The real Win32 serial communications.
#pragma once

#include <windows.h>
