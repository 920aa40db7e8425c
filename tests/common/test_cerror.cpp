#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "CError.h"
#include "platform/errors.h"

namespace {

// The error number rendered and the line break kept; a Cyrillic letter has no
// counterpart in the default narrow encoding.
TEST(CError, KeepsTheMessageWideAndNarrow) {
    try {
        SetLastError(5);
        ThrowLastError(L"ReadFile \x0416 failed with error %d.\n");
        ADD_FAILURE() << "nothing was thrown";
    } catch (const CError &e) {
        EXPECT_STREQ(e.wideMessage, L"ReadFile \x0416 failed with error 5.\n");
        EXPECT_STREQ(e.narrowMessage, "ReadFile ? failed with error 5.\n");
    }
}

TEST(CError, OverlongMessageIsCutAndBothFieldsStayTerminated) {
    const std::wstring longText(5000, L'x');
    const CError e(longText.c_str());
    EXPECT_EQ(std::wcslen(e.wideMessage), static_cast<size_t>(kErrorMessageCapacity - 1));
    EXPECT_LT(std::strlen(e.narrowMessage), static_cast<size_t>(kErrorMessageCapacity));
    EXPECT_EQ(std::string(e.narrowMessage), std::string(std::strlen(e.narrowMessage), 'x'));
}

}  // namespace
