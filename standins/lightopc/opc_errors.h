// The texts of the OPC result codes, and of the system's codes through the platform.
#pragma once

#include "task_memory.h"

// The English text for code: false when neither OPC nor the system knows it.
bool ErrorText(HRESULT code, OleString *text);
