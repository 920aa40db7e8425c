// The Win32 base types: the real ones.
#pragma once

#include <windows.h>
