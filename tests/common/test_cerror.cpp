#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "CError.h"
#include "platform/errors.h"

namespace {

CError Caught(void (*raise)()) {
    try {
        raise();
    } catch (const CError &e) {
        return e;
    }
    ADD_FAILURE() << "nothing was thrown";
    return CError(L"");
}

TEST(CError, KeepsTheMessageInBothFields) {
    const CError e(L"wrong config syntax");
    EXPECT_STREQ(e.wideMessage, L"wrong config syntax");
    EXPECT_STREQ(e.narrowMessage, "wrong config syntax");
}

TEST(CError, EmptyMessageGivesTwoEmptyTexts) {
    const CError e(L"");
    EXPECT_STREQ(e.wideMessage, L"");
    EXPECT_STREQ(e.narrowMessage, "");
}

TEST(CError, CharacterOutsideTheNarrowEncodingBecomesAQuestionMark) {
    // A Cyrillic letter has no counterpart in the default narrow encoding.
    const CError e(L"port \x0416 busy");
    EXPECT_STREQ(e.wideMessage, L"port \x0416 busy");
    EXPECT_STREQ(e.narrowMessage, "port ? busy");
}

TEST(CError, OverlongMessageIsCutAndBothFieldsStayTerminated) {
    const std::wstring longText(5000, L'x');
    const CError e(longText.c_str());
    EXPECT_EQ(std::wcslen(e.wideMessage), static_cast<size_t>(kErrorMessageCapacity - 1));
    EXPECT_LT(std::strlen(e.narrowMessage), static_cast<size_t>(kErrorMessageCapacity));
    EXPECT_EQ(std::string(e.narrowMessage), std::string(std::strlen(e.narrowMessage), 'x'));
}

TEST(ThrowError, ThrowsTheGivenMessage) {
    const CError e = Caught([] { ThrowError(L"empty QueryBlock"); });
    EXPECT_STREQ(e.wideMessage, L"empty QueryBlock");
    EXPECT_STREQ(e.narrowMessage, "empty QueryBlock");
}

TEST(ThrowLastError, RendersTheErrorNumberAndKeepsTheLineBreak) {
    const CError e = Caught([] {
        SetLastError(5);
        ThrowLastError(L"ReadFile failed with error %d.\n");
    });
    EXPECT_STREQ(e.wideMessage, L"ReadFile failed with error 5.\n");
    EXPECT_STREQ(e.narrowMessage, "ReadFile failed with error 5.\n");
}

TEST(ThrowLastError, FormatWithoutPlaceholderIsItsOwnText) {
    const CError e = Caught([] {
        SetLastError(1234);
        ThrowLastError(L"PurgeInput");
    });
    EXPECT_STREQ(e.wideMessage, L"PurgeInput");
    EXPECT_STREQ(e.narrowMessage, "PurgeInput");
}

}  // namespace
