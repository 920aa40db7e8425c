// The standard COM interfaces for enumerators and connection points: the system's.
#pragma once

// windows.h first: the others build on it.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
// clang-format on
