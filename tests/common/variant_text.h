// A VARIANT as "<type>:<text>" for test expectations, made by hand so that no
// conversion under test shows its own result.
#pragma once

#include <string>

#include "platform/variant.h"

// A BSTR by its length, so that a zero inside it shows.
inline std::string BstrText(BSTR text) {
    std::string narrow;
    for (UINT k = 0; k < SysStringLen(text); ++k) narrow += static_cast<char>(text[k]);
    return narrow;
}

inline std::string VariantText(const VARIANT &v) {
    switch (V_VT(&v)) {
        case VT_EMPTY:
            return "EMPTY";
        case VT_I2:
            return "I2:" + std::to_string(v.iVal);
        case VT_I4:
            return "I4:" + std::to_string(v.lVal);
        case VT_UI2:
            return "UI2:" + std::to_string(v.uiVal);
        case VT_UI1:
            return "UI1:" + std::to_string(v.bVal);
        case VT_BOOL:
            return "BOOL:" + std::to_string(v.boolVal);
        case VT_R4:
            return "R4:" + std::to_string(v.fltVal);
        case VT_R8:
            return "R8:" + std::to_string(v.dblVal);
        case VT_BSTR:
            return "BSTR:" + BstrText(v.bstrVal);
        case VT_DATE:
            return "DATE:" + std::to_string(v.date);
        default:
            return "vt" + std::to_string(V_VT(&v));
    }
}
