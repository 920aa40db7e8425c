// COM's UTF-16 texts and the tool's UTF-8, both ways.
#pragma once

#include <string>

#include "platform/com.h"

using OleString = std::basic_string<OLECHAR>;

// A lone surrogate, or a byte that starts no UTF-8 sequence, becomes U+FFFD:
// a name the server holds always shows as something.
std::string Utf8FromOle(const OLECHAR *text);
OleString OleFromUtf8(const std::string &text);
