// What brisvale-client prints, piece by piece: one representative of each
// text family (quality, time, JSON, UTF-16/UTF-8, values, the command line,
// a failed activation and a failed call).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Activation.h"
#include "ClientIo.h"
#include "ClientOptions.h"
#include "ExitCodes.h"
#include "JsonText.h"
#include "OleText.h"
#include "QualityText.h"
#include "TimeText.h"
#include "ValueText.h"

namespace {

TEST(ClientText, QualityTimeAndJsonForPeople) {
    EXPECT_EQ(QualityText(0x19), "bad: comm failure, low limited (0x19)");
    const unsigned long long ticks = 134410845011234560ULL;
    EXPECT_EQ(TimeText(FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)}),
              "2026-12-07T02:35:01.123Z");
    // What would break the document is escaped.
    EXPECT_EQ(JsonString(std::string("a\"b\\c\n\x01", 7)), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(ClientText, Utf16AndUtf8BothWaysAndLoneSurrogatesReplaced) {
    const OLECHAR wide[] = {'T', 0xFC, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(Utf8FromOle(wide), "T\xC3\xBC\xF0\x9F\x98\x80");
    EXPECT_EQ(OleFromUtf8("T\xC3\xBC\xF0\x9F\x98\x80"), OleString(wide));
    const OLECHAR lone[] = {'a', 0xDC00, 'b', 0xD800, 0};
    EXPECT_EQ(Utf8FromOle(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(ClientText, ValuesForPeople) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    v.dblVal = 0.1;
    EXPECT_EQ(ValueText(v), "0.10000000000000001");
    const OLECHAR text[] = {'o', 'p', 'e', 'n', ' ', '"', 'A', '"', 0};
    V_VT(&v) = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    EXPECT_EQ(ValueText(v), "open \"A\"");
    VariantClear(&v);
}

// Parsing that succeeds: test_client_commands runs every command through it.
TEST(ClientCommandLine, WhatCannotBeUsedIsSaid) {
    std::vector<const char *> args = {"brisvale-client", "watch", "--rate", "86400001"};
    ClientOptions options;
    std::string error;
    EXPECT_FALSE(ParseClientOptions(static_cast<int>(args.size()), args.data(), options, error));
    EXPECT_EQ(error, "--rate needs milliseconds from 0 to 86400000");
}

TEST(ClientActivation, AFailureHasItsExitCodeAndMessageAndSoHasAFailedCall) {
    const Activation a = ActivationFailure("X.1", ActivationStep::Create, static_cast<HRESULT>(0x80080005));
    EXPECT_EQ(a.exitCode, kExitCannotStart);
    EXPECT_EQ(a.message, "X.1 is registered but could not be started (0x80080005)");

    std::ostringstream out;
    std::ostringstream err;
    ClientIo io(out, err, [](unsigned) { return true; });
    io.CallFailed("GetStatus", static_cast<HRESULT>(0x800706BA));
    EXPECT_EQ(err.str(), "brisvale-client: the server went away (GetStatus: 0x800706BA)\n");
    EXPECT_EQ(out.str(), "");
}

}  // namespace
