#include "platform/variant.h"

#include <cstring>

namespace {

bool KnownType(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
            return true;
        default:
            return false;
    }
}

}  // namespace

void VariantInit(VARIANT *value) {
    if (value == nullptr) return;
    std::memset(value, 0, sizeof(*value));
    value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT *value) {
    if (value == nullptr) return E_INVALIDARG;
    if (!KnownType(value->vt)) return DISP_E_BADVARTYPE;
    // None of the known types owns memory.
    VariantInit(value);
    return S_OK;
}

HRESULT VariantCopy(VARIANT *destination, const VARIANT *source) {
    if (destination == nullptr || source == nullptr) return E_INVALIDARG;
    if (!KnownType(source->vt)) return DISP_E_BADVARTYPE;
    if (destination == source) return S_OK;
    const HRESULT cleared = VariantClear(destination);
    if (FAILED(cleared)) return cleared;
    std::memcpy(destination, source, sizeof(*destination));
    return S_OK;
}
