// VARIANT values and VARTYPEs as text, for people and for JSON.
#pragma once

#include <string>

#include "platform/variant.h"

// "VT_I2", "VT_BSTR", "VT_ARRAY|VT_I2"; a type without a name shows its
// number ("VT_0x0042").
std::string VarTypeName(VARTYPE type);
// The value as people read it: numbers in decimal, booleans true/false,
// texts as they are, "empty" for VT_EMPTY; other types by their type name.
std::string ValueText(const VARIANT &value);
// The value as a JSON value: numbers bare, texts quoted, null for VT_EMPTY,
// VT_NULL, non-finite numbers and types without a JSON form.
std::string ValueJson(const VARIANT &value);
