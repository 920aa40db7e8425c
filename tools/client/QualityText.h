// An OPC quality as people read it, from its three fields: status (bits 7-6),
// substatus (bits 5-2) and limit (bits 1-0); the high byte is the vendor's.
#pragma once

#include <string>

#include "platform/win_types.h"

// "good", "bad: comm failure", "uncertain: last usable value, low limited".
std::string QualityName(WORD quality);
// The name with the number: "good (0xC0)", "bad: comm failure (0x18)"; a
// quality with vendor bits shows all four digits ("good (0x01C0)").
std::string QualityText(WORD quality);
