// The real COM runtime.
#pragma once

// windows.h first: the other header builds on it.
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on
