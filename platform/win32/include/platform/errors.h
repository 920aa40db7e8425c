// The real Win32 declarations.
#pragma once

#include <windows.h>
