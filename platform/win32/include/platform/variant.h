// The real OLE Automation VARIANT.
#pragma once

// windows.h first: the other header builds on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on
