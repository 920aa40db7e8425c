#include <gtest/gtest.h>

#include <cstring>

#include "platform/variant.h"

namespace {

// Not a VARENUM value: no automation type has the number 15.
constexpr VARTYPE kUndefinedType = 15;

TEST(Variant, InitMakesAnEmptyValue) {
    VARIANT value;
    std::memset(&value, 0xAB, sizeof value);
    VariantInit(&value);
    EXPECT_EQ(V_VT(&value), VT_EMPTY);
}

TEST(Variant, CopyTakesTypeAndValue) {
    VARIANT source;
    VARIANT copy;
    VariantInit(&source);
    VariantInit(&copy);
    V_VT(&source) = VT_I2;
    V_I2(&source) = -12345;
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(V_VT(&copy), VT_I2);
    EXPECT_EQ(V_I2(&copy), -12345);

    V_VT(&source) = VT_R8;
    source.dblVal = 2.5;
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(V_VT(&copy), VT_R8);
    EXPECT_EQ(copy.dblVal, 2.5);

    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(V_VT(&copy), VT_EMPTY);
}

TEST(Variant, UnknownTypesAreRefusedAndLeftAlone) {
    VARIANT bad;
    VARIANT good;
    VariantInit(&bad);
    VariantInit(&good);
    V_VT(&bad) = kUndefinedType;
    V_VT(&good) = VT_I2;
    V_I2(&good) = 7;

    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(V_VT(&bad), kUndefinedType);

    EXPECT_EQ(VariantCopy(&good, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(V_VT(&good), VT_I2);
    EXPECT_EQ(V_I2(&good), 7);

    // A destination that cannot be cleared is not overwritten.
    EXPECT_EQ(VariantCopy(&bad, &good), DISP_E_BADVARTYPE);
    EXPECT_EQ(V_VT(&bad), kUndefinedType);
}

}  // namespace
