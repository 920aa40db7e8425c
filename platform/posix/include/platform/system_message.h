// The system's own text for a result code, as FormatMessage gives it on
// Windows, without the trailing line end.
#pragma once

#include <string>

#include "platform/com.h"

// False when the system has no text for code.
bool SystemMessageText(HRESULT code, std::basic_string<OLECHAR> *text);
