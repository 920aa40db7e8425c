// The real OLE Automation VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>
