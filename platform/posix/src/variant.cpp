#include "platform/variant.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr VARTYPE kDispatch = 9;
constexpr VARTYPE kUnknown = 13;

bool KnownType(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_DATE:
        case VT_BSTR:
        case VT_ERROR:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// A source value on its way to another type: an integer, a fraction or a text.
struct Scalar {
    enum Kind { kSigned, kUnsigned, kReal, kText } kind = kSigned;
    LONGLONG integer = 0;
    ULONGLONG natural = 0;
    double real = 0;
    std::u16string text;
};

bool ReadText(const std::u16string &text, bool words, Scalar *out) {
    std::string narrow;
    for (char16_t c : text) {
        if (c > 0x7F) return false;
        narrow += static_cast<char>(c);
    }
    const std::size_t first = narrow.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const std::size_t last = narrow.find_last_not_of(" \t");
    std::string number = narrow.substr(first, last - first + 1);
    if (words && number == "True") {
        *out = Scalar{Scalar::kSigned, -1, 0, 0, {}};
        return true;
    }
    if (words && number == "False") {
        *out = Scalar{Scalar::kSigned, 0, 0, 0, {}};
        return true;
    }
    if (number[0] == '+') number.erase(0, 1);
    double value = 0;
    const auto parsed = std::from_chars(number.data(), number.data() + number.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != number.data() + number.size()) return false;
    *out = Scalar{Scalar::kReal, 0, 0, value, {}};
    return true;
}

std::u16string Widen(const char *text) {
    std::u16string wide;
    for (; *text != '\0'; ++text) wide += static_cast<char16_t>(*text);
    return wide;
}

std::u16string RealText(double value, int precision) {
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text - 1, value, std::chars_format::general, precision);
    *written.ptr = '\0';
    for (char *c = text; *c != '\0'; ++c) {
        if (*c == 'e') *c = 'E';
    }
    return Widen(text);
}

// DISP_E_TYPEMISMATCH for what cannot be read as a scalar.
HRESULT Read(const VARIANT &source, Scalar *out) {
    switch (source.vt) {
        case VT_EMPTY:
            *out = Scalar{};
            return S_OK;
        case VT_I1:
            *out = Scalar{Scalar::kSigned, source.cVal, 0, 0, {}};
            return S_OK;
        case VT_I2:
            *out = Scalar{Scalar::kSigned, source.iVal, 0, 0, {}};
            return S_OK;
        case VT_I4:
        case VT_INT:
            *out = Scalar{Scalar::kSigned, source.lVal, 0, 0, {}};
            return S_OK;
        case VT_I8:
            *out = Scalar{Scalar::kSigned, source.llVal, 0, 0, {}};
            return S_OK;
        case VT_BOOL:
            *out = Scalar{Scalar::kSigned, source.boolVal != 0 ? -1 : 0, 0, 0, {}};
            return S_OK;
        case VT_UI1:
            *out = Scalar{Scalar::kUnsigned, 0, source.bVal, 0, {}};
            return S_OK;
        case VT_UI2:
            *out = Scalar{Scalar::kUnsigned, 0, source.uiVal, 0, {}};
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            *out = Scalar{Scalar::kUnsigned, 0, source.ulVal, 0, {}};
            return S_OK;
        case VT_UI8:
            *out = Scalar{Scalar::kUnsigned, 0, source.ullVal, 0, {}};
            return S_OK;
        case VT_R4:
            *out = Scalar{Scalar::kReal, 0, 0, source.fltVal, {}};
            return S_OK;
        case VT_R8:
        case VT_DATE:
            *out = Scalar{Scalar::kReal, 0, 0, source.dblVal, {}};
            return S_OK;
        case VT_BSTR: {
            Scalar text;
            text.kind = Scalar::kText;
            if (source.bstrVal != nullptr) text.text.assign(source.bstrVal, SysStringLen(source.bstrVal));
            *out = std::move(text);
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// The value as a whole number within [low, high]: fractions round half to even.
template <class T>
HRESULT Whole(const Scalar &value, T *out) {
    using Limits = std::numeric_limits<T>;
    switch (value.kind) {
        case Scalar::kSigned:
            if (value.integer < static_cast<LONGLONG>(Limits::min())) return DISP_E_OVERFLOW;
            if (value.integer > 0 && static_cast<ULONGLONG>(value.integer) > static_cast<ULONGLONG>(Limits::max()))
                return DISP_E_OVERFLOW;
            *out = static_cast<T>(value.integer);
            return S_OK;
        case Scalar::kUnsigned:
            if (value.natural > static_cast<ULONGLONG>(Limits::max())) return DISP_E_OVERFLOW;
            *out = static_cast<T>(value.natural);
            return S_OK;
        case Scalar::kReal: {
            if (std::isnan(value.real)) return DISP_E_OVERFLOW;
            const double rounded = std::nearbyint(value.real);
            // The bounds are exact in a double for every type up to 32 bits; the
            // 64-bit ones are checked against 2^63 and 2^64.
            const double low = static_cast<double>(Limits::min());
            const double high = static_cast<double>(Limits::max());
            if (rounded < low || rounded > high || (sizeof(T) == 8 && rounded >= high)) return DISP_E_OVERFLOW;
            *out = static_cast<T>(rounded);
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

double Real(const Scalar &value) {
    if (value.kind == Scalar::kSigned) return static_cast<double>(value.integer);
    if (value.kind == Scalar::kUnsigned) return static_cast<double>(value.natural);
    return value.real;
}

HRESULT Text(const Scalar &value, VARTYPE sourceType, USHORT flags, std::u16string *out) {
    if (sourceType == VT_BOOL) {
        const bool set = value.integer != 0;
        *out = Widen((flags & VARIANT_ALPHABOOL) != 0 ? (set ? "True" : "False") : (set ? "-1" : "0"));
        return S_OK;
    }
    // Dates would need the locale's calendar texts: not a conversion the toolkit makes.
    if (sourceType == VT_DATE) return DISP_E_TYPEMISMATCH;
    switch (value.kind) {
        case Scalar::kSigned:
            *out = Widen(std::to_string(value.integer).c_str());
            return S_OK;
        case Scalar::kUnsigned:
            *out = Widen(std::to_string(value.natural).c_str());
            return S_OK;
        case Scalar::kReal:
            *out = RealText(value.real, sourceType == VT_R4 ? 7 : 15);
            return S_OK;
        default:
            *out = value.text;
            return S_OK;
    }
}

// OLE Automation's quirk, kept because clients see it: between the signed and
// unsigned integers of one width the bits are taken over as they are.
bool SameWidthIntegers(VARTYPE a, VARTYPE b) {
    const auto pair = [&](VARTYPE x, VARTYPE y) { return (a == x && b == y) || (a == y && b == x); };
    return pair(VT_I1, VT_UI1) || pair(VT_I2, VT_UI2) || pair(VT_I4, VT_UI4) || pair(VT_I8, VT_UI8);
}

HRESULT Convert(const VARIANT &source, USHORT flags, VARTYPE type, VARIANT *result) {
    if (SameWidthIntegers(source.vt, type)) {
        *result = source;
        result->vt = type;
        return S_OK;
    }
    Scalar value;
    HRESULT read = Read(source, &value);
    if (FAILED(read)) return read;
    if (value.kind == Scalar::kText && type != VT_BSTR) {
        if (!ReadText(value.text, type == VT_BOOL, &value)) return DISP_E_TYPEMISMATCH;
    }
    VariantInit(result);
    result->vt = type;
    switch (type) {
        case VT_EMPTY:
            return S_OK;
        case VT_I1:
            return Whole(value, &result->cVal);
        case VT_I2:
            return Whole(value, &result->iVal);
        case VT_I4:
            return Whole(value, &result->lVal);
        case VT_INT:
            return Whole(value, &result->intVal);
        case VT_I8:
            return Whole(value, &result->llVal);
        case VT_UI1:
            return Whole(value, &result->bVal);
        case VT_UI2:
            return Whole(value, &result->uiVal);
        case VT_UI4:
            return Whole(value, &result->ulVal);
        case VT_UINT:
            return Whole(value, &result->uintVal);
        case VT_UI8:
            return Whole(value, &result->ullVal);
        case VT_BOOL:
            result->boolVal = Real(value) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case VT_R4: {
            const double real = Real(value);
            if (std::fabs(real) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
            result->fltVal = static_cast<float>(real);
            return S_OK;
        }
        case VT_R8:
        case VT_DATE:
            result->dblVal = Real(value);
            return S_OK;
        case VT_BSTR: {
            std::u16string text;
            const HRESULT made = Text(value, source.vt, flags, &text);
            if (FAILED(made)) return made;
            result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            return result->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
        }
        default:
            return DISP_E_BADVARTYPE;
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
    if (value->vt == VT_BSTR) SysFreeString(value->bstrVal);
    VariantInit(value);
    return S_OK;
}

HRESULT VariantCopy(VARIANT *destination, const VARIANT *source) {
    if (destination == nullptr || source == nullptr) return E_INVALIDARG;
    if (!KnownType(source->vt)) return DISP_E_BADVARTYPE;
    if (destination == source) return S_OK;
    VARIANT copy;
    std::memcpy(&copy, source, sizeof copy);
    if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    }
    const HRESULT cleared = VariantClear(destination);
    if (FAILED(cleared)) {
        if (copy.vt == VT_BSTR) SysFreeString(copy.bstrVal);
        return cleared;
    }
    std::memcpy(destination, &copy, sizeof copy);
    return S_OK;
}

HRESULT VariantChangeType(VARIANT *destination, const VARIANT *source, USHORT flags, VARTYPE type) {
    if (destination == nullptr || source == nullptr) return E_INVALIDARG;
    if (!KnownType(source->vt)) return DISP_E_BADVARTYPE;
    // Types that exist but hold no scalar: a mismatch, not an unknown type.
    if ((type & (VT_ARRAY | VT_BYREF)) != 0 || type == VT_VARIANT || type == kDispatch || type == kUnknown)
        return DISP_E_TYPEMISMATCH;
    if (!KnownType(type)) return DISP_E_BADVARTYPE;
    VARIANT result;
    VariantInit(&result);
    HRESULT converted = S_OK;
    if (source->vt == type) {
        converted = VariantCopy(&result, source);
    } else if (type == VT_NULL) {
        result.vt = VT_NULL;
    } else if (source->vt == VT_NULL || source->vt == VT_ERROR || type == VT_ERROR) {
        converted = DISP_E_TYPEMISMATCH;
    } else {
        converted = Convert(*source, flags, type, &result);
    }
    if (FAILED(converted)) {
        if (result.vt == VT_BSTR) SysFreeString(result.bstrVal);
        return converted;
    }
    const HRESULT cleared = VariantClear(destination);
    if (FAILED(cleared)) {
        VariantClear(&result);
        return cleared;
    }
    std::memcpy(destination, &result, sizeof result);
    return S_OK;
}

namespace {
// The byte count sits in the four bytes before the text.
constexpr std::size_t kPrefix = sizeof(std::uint32_t);
// Keeps the prefix and the text within what a UINT counts in bytes.
constexpr UINT kLongestText = 0x3FFFFFF0u;
}  // namespace

BSTR SysAllocStringLen(const OLECHAR *text, UINT length) {
    if (length > kLongestText) return nullptr;
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    char *block = static_cast<char *>(CoTaskMemAlloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const std::uint32_t count = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &count, kPrefix);
    BSTR result = reinterpret_cast<BSTR>(block + kPrefix);
    if (text != nullptr) {
        std::memcpy(result, text, bytes);
    } else {
        std::memset(result, 0, bytes);
    }
    result[length] = u'\0';
    return result;
}

BSTR SysAllocString(const OLECHAR *text) {
    if (text == nullptr) return nullptr;
    UINT length = 0;
    while (text[length] != u'\0') ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (text != nullptr) CoTaskMemFree(reinterpret_cast<char *>(text) - kPrefix);
}

UINT SysStringByteLen(BSTR text) {
    if (text == nullptr) return 0;
    std::uint32_t count = 0;
    std::memcpy(&count, reinterpret_cast<const char *>(text) - kPrefix, kPrefix);
    return count;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}
