// JSON strings: whatever a tag name or a vendor text holds, the document stays
// valid.
#pragma once

#include <string>

// text (UTF-8) as a JSON string literal, quotes included: quote, backslash
// and control characters escaped, everything else as it is.
std::string JsonString(const std::string &text);
