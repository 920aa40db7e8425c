// OLE Automation's VARIANT, for the Linux build: a 16-byte tagged value with
// the types that hold no memory.
#pragma once

#include "platform/com.h"

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BOOL = 11,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
};

#define DISP_E_BADVARTYPE (static_cast<HRESULT>(0x80020008L))

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        ULONG ulVal;
        SHORT iVal;
        USHORT uiVal;
        BYTE bVal;
        signed char cVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
    };
};
static_assert(sizeof(VARIANT) == 16, "VARIANT is 16 bytes");

#define V_VT(v) ((v)->vt)
#define V_I2(v) ((v)->iVal)

void VariantInit(VARIANT *value);
// Both refuse a type outside the list above with DISP_E_BADVARTYPE.
HRESULT VariantClear(VARIANT *value);
HRESULT VariantCopy(VARIANT *destination, const VARIANT *source);
