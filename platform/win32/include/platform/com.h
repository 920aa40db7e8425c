// The real COM runtime.
#pragma once

#include <windows.h>
#include <objbase.h>
