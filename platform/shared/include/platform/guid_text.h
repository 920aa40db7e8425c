// GUIDs in the registry's text form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case hexadecimal.
#pragma once

#include <string>

#include "platform/com.h"

constexpr std::size_t kGuidTextLength = 38;

std::string GuidText(const GUID &guid);
// Accepts either letter case; false for anything else than the form above.
bool ParseGuid(const std::string &text, GUID *guid);
