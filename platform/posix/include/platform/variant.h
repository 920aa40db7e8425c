// OLE Automation's VARIANT and BSTR, for the Linux build: a 16-byte tagged
// value with the scalar types, dates, error codes and BSTR texts, and the
// calls that copy, clear and convert them as OLE Automation does.
#pragma once

#include "platform/com.h"

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;
using BSTR = OLECHAR *;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

#define DISP_E_TYPEMISMATCH (static_cast<HRESULT>(0x80020005L))
#define DISP_E_BADVARTYPE (static_cast<HRESULT>(0x80020008L))
#define DISP_E_OVERFLOW (static_cast<HRESULT>(0x8002000AL))

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
        DATE date;
        SCODE scode;
        int intVal;
        unsigned int uintVal;
        BSTR bstrVal;
    };
};
static_assert(sizeof(VARIANT) == 16, "VARIANT is 16 bytes");

#define V_VT(v) ((v)->vt)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_R8(v) ((v)->dblVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_BOOL(v) ((v)->boolVal)

void VariantInit(VARIANT *value);
// Both refuse a type outside the list above (arrays and references included)
// with DISP_E_BADVARTYPE. A BSTR is freed, or copied whole.
HRESULT VariantClear(VARIANT *value);
HRESULT VariantCopy(VARIANT *destination, const VARIANT *source);

// Converts source to type into destination (which may be source itself):
// numbers, booleans, dates and texts into each other. DISP_E_OVERFLOW for a
// value out of the type's range, DISP_E_TYPEMISMATCH for a text that is not a
// number or a VT_NULL source, DISP_E_BADVARTYPE for a type it does not know.
// Fractions round half to even. flags: VARIANT_ALPHABOOL writes "True" and
// "False" for booleans (otherwise "-1" and "0"); the others are ignored.
#define VARIANT_ALPHABOOL 0x2
HRESULT VariantChangeType(VARIANT *destination, const VARIANT *source, USHORT flags, VARTYPE type);

// A BSTR: length-prefixed (in bytes), terminated, UTF-16. SysAllocString(null)
// gives null; SysAllocStringLen(null, n) a zero-filled text of n units.
BSTR SysAllocString(const OLECHAR *text);
BSTR SysAllocStringLen(const OLECHAR *text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
