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

// Made directly, by ThrowError, and by ThrowLastError (the error number
// rendered, the line break kept, a format without placeholder its own text).
// A Cyrillic letter has no counterpart in the default narrow encoding.
TEST(CError, KeepsTheMessageWideAndNarrow) {
    const struct {
        CError error;
        const wchar_t *wide;
        const char *narrow;
    } rows[] = {
        {CError(L"wrong config syntax"), L"wrong config syntax", "wrong config syntax"},
        {CError(L""), L"", ""},
        {CError(L"port \x0416 busy"), L"port \x0416 busy", "port ? busy"},
        {Caught([] { ThrowError(L"empty QueryBlock"); }), L"empty QueryBlock", "empty QueryBlock"},
        {Caught([] { SetLastError(5), ThrowLastError(L"ReadFile failed with error %d.\n"); }),
         L"ReadFile failed with error 5.\n", "ReadFile failed with error 5.\n"},
        {Caught([] { SetLastError(1234), ThrowLastError(L"PurgeInput"); }), L"PurgeInput", "PurgeInput"},
    };
    for (const auto &row : rows) {
        EXPECT_STREQ(row.error.wideMessage, row.wide);
        EXPECT_STREQ(row.error.narrowMessage, row.narrow);
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
