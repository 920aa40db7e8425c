// VARIANT and BSTR: the same results from our Linux runtime and from the
// system's OLE Automation under Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../common/variant_text.h"
#include "platform/variant.h"

namespace {

using OleText = std::basic_string<OLECHAR>;

OleText Ole(const char *text) {
    OleText wide;
    for (; *text != '\0'; ++text) wide += static_cast<OLECHAR>(*text);
    return wide;
}

// A VARIANT of this type whose member is set by fill.
template <typename F>
VARIANT Of(VARTYPE type, F fill) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    fill(v);
    return v;
}
VARIANT Short(SHORT n) {
    return Of(VT_I2, [n](VARIANT &v) { v.iVal = n; });
}
VARIANT Real(double n) {
    return Of(VT_R8, [n](VARIANT &v) { v.dblVal = n; });
}
VARIANT Text(const char *text) {
    return Of(VT_BSTR, [text](VARIANT &v) { v.bstrVal = SysAllocString(Ole(text).c_str()); });
}

// The result of converting source (which is cleared afterwards) to type.
std::string Changed(VARIANT source, VARTYPE type) {
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr = VariantChangeType(&result, &source, 0, type);
    VariantClear(&source);
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
        return code;
    }
    const std::string shown = VariantText(result);
    VariantClear(&result);
    return shown;
}

TEST(Variant, NumbersAndTextsConvertWithinRangeAndRoundHalfToEven) {
    EXPECT_EQ(Changed(Short(-7), VT_R8), "R8:-7.000000");
    // Between the signed and unsigned type of one width the bits carry over.
    EXPECT_EQ(Changed(Short(-1), VT_UI2), "UI2:65535");
    EXPECT_EQ(Changed(Short(-1), VT_UI1), "8002000A");
    EXPECT_EQ(Changed(Real(-1), VT_UI2), "8002000A");
    EXPECT_EQ(Changed(Short(256), VT_UI1), "8002000A");
    EXPECT_EQ(Changed(Short(2), VT_BOOL), "BOOL:-1");
    EXPECT_EQ(Changed(Real(2.5), VT_I2), "I2:2");
    EXPECT_EQ(Changed(Real(3.5), VT_I2), "I2:4");
    EXPECT_EQ(Changed(Real(40000), VT_I2), "8002000A");
    EXPECT_EQ(Changed(Real(1e300), VT_R4), "8002000A");
    EXPECT_EQ(Changed(Real(12.5), VT_BSTR), "BSTR:12.5");
    EXPECT_EQ(Changed(Text(" 42 "), VT_I4), "I4:42");
    EXPECT_EQ(Changed(Text("pump"), VT_I2), "80020005");
    EXPECT_EQ(Changed(Text("abc"), VT_BSTR), "BSTR:abc");
}

TEST(Variant, StringsAreCountedCopiedAndFreed) {
    const OLECHAR embedded[] = {'a', 0, 'b'};
    BSTR text = SysAllocStringLen(embedded, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(text[3], 0);
    VARIANT original = Of(VT_BSTR, [text](VARIANT &v) { v.bstrVal = text; });
    VARIANT copy = Short(1);
    ASSERT_EQ(VariantCopy(&copy, &original), S_OK);
    EXPECT_NE(copy.bstrVal, text);  // a copy of its own, freed on its own
    EXPECT_EQ(SysStringLen(copy.bstrVal), 3u);
    EXPECT_EQ(VariantClear(&original), S_OK);
    // Converting in place keeps the text when the conversion fails.
    ASSERT_EQ(VariantChangeType(&copy, &copy, 0, VT_I2), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(V_VT(&copy), VT_EMPTY);
}

}  // namespace
