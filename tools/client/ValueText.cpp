#include "ValueText.h"

#include <cmath>
#include <cstdio>

#include "JsonText.h"
#include "OleText.h"

namespace {

const char *BaseTypeName(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
            return "VT_EMPTY";
        case VT_NULL:
            return "VT_NULL";
        case VT_I1:
            return "VT_I1";
        case VT_I2:
            return "VT_I2";
        case VT_I4:
            return "VT_I4";
        case VT_I8:
            return "VT_I8";
        case VT_UI1:
            return "VT_UI1";
        case VT_UI2:
            return "VT_UI2";
        case VT_UI4:
            return "VT_UI4";
        case VT_UI8:
            return "VT_UI8";
        case VT_INT:
            return "VT_INT";
        case VT_UINT:
            return "VT_UINT";
        case VT_R4:
            return "VT_R4";
        case VT_R8:
            return "VT_R8";
        case VT_DATE:
            return "VT_DATE";
        case VT_BSTR:
            return "VT_BSTR";
        case VT_ERROR:
            return "VT_ERROR";
        case VT_BOOL:
            return "VT_BOOL";
        case VT_VARIANT:
            return "VT_VARIANT";
        default:
            return nullptr;
    }
}

std::string Real(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The number of a numeric VARIANT as text; false for other types.
bool NumberText(const VARIANT &value, std::string &text) {
    switch (V_VT(&value)) {
        case VT_I1:
            text = std::to_string(static_cast<int>(value.cVal));
            return true;
        case VT_I2:
            text = std::to_string(value.iVal);
            return true;
        case VT_I4:
            text = std::to_string(value.lVal);
            return true;
        case VT_I8:
            text = std::to_string(static_cast<long long>(value.llVal));
            return true;
        case VT_UI1:
            text = std::to_string(value.bVal);
            return true;
        case VT_UI2:
            text = std::to_string(value.uiVal);
            return true;
        case VT_UI4:
            text = std::to_string(value.ulVal);
            return true;
        case VT_UI8:
            text = std::to_string(static_cast<unsigned long long>(value.ullVal));
            return true;
        case VT_INT:
            text = std::to_string(value.intVal);
            return true;
        case VT_UINT:
            text = std::to_string(value.uintVal);
            return true;
        case VT_R4:
            text = Real(value.fltVal);
            return true;
        case VT_R8:
            text = Real(value.dblVal);
            return true;
        default:
            return false;
    }
}

bool IsFinite(const VARIANT &value) {
    if (V_VT(&value) == VT_R4) return std::isfinite(value.fltVal);
    if (V_VT(&value) == VT_R8) return std::isfinite(value.dblVal);
    return true;
}

}  // namespace

std::string VarTypeName(VARTYPE type) {
    std::string name;
    if ((type & VT_ARRAY) != 0) name += "VT_ARRAY|";
    if ((type & VT_BYREF) != 0) name += "VT_BYREF|";
    const VARTYPE base = type & ~(VT_ARRAY | VT_BYREF);
    const char *known = BaseTypeName(base);
    if (known != nullptr) return name + known;
    char number[16];
    std::snprintf(number, sizeof number, "VT_0x%04X", static_cast<unsigned>(base));
    return name + number;
}

std::string ValueText(const VARIANT &value) {
    std::string text;
    if (NumberText(value, text)) return text;
    switch (V_VT(&value)) {
        case VT_EMPTY:
            return "empty";
        case VT_NULL:
            return "null";
        case VT_BOOL:
            return value.boolVal != 0 ? "true" : "false";
        case VT_BSTR:
            return Utf8FromOle(value.bstrVal);
        default:
            return VarTypeName(V_VT(&value));
    }
}

std::string ValueJson(const VARIANT &value) {
    std::string text;
    if (NumberText(value, text)) return IsFinite(value) ? text : "null";
    switch (V_VT(&value)) {
        case VT_BOOL:
            return value.boolVal != 0 ? "true" : "false";
        case VT_BSTR:
            return JsonString(Utf8FromOle(value.bstrVal));
        default:
            return "null";
    }
}
