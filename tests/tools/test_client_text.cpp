// What brisvale-client prints, piece by piece: qualities, times, values and
// texts, the command line, and what a failed activation or call tells the user.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

TEST(ClientText, QualityFollowsStatusSubstatusAndLimit) {
    const std::vector<std::pair<WORD, std::string>> rows = {
        {0xC0, "good (0xC0)"},
        {0x18, "bad: comm failure (0x18)"},
        {0x00, "bad (0x00)"},
        {0x19, "bad: comm failure, low limited (0x19)"},
        {0x44, "uncertain: last usable value (0x44)"},
        {0x5C, "uncertain: substatus 7 (0x5C)"},
        {0xD8, "good: local override (0xD8)"},
        {0xC3, "good: constant (0xC3)"},
        {0x80, "reserved (0x80)"},
        {0x01C0, "good (0x01C0)"},
    };
    for (const auto &row : rows) EXPECT_EQ(QualityText(row.first), row.second) << row.first;
}

FILETIME Ft(unsigned long long ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

TEST(ClientText, TimesAreUtcWithMillisecondsTruncated) {
    EXPECT_EQ(TimeText(Ft(134410845011234560ULL)), "2026-12-07T02:35:01.123Z");
    EXPECT_EQ(TimeText(Ft(133537247999999990ULL)), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(TimeText(Ft(0)), "1601-01-01T00:00:00.000Z");
    EXPECT_EQ(TimeText(Ft(~0ULL)), "60056-05-28T05:36:10.955Z");
}

TEST(ClientText, JsonStringsEscapeWhatWouldBreakTheDocument) {
    EXPECT_EQ(JsonString("Pump1"), "\"Pump1\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString(std::string("t\ta\nb\rc\x01\x1f\x7f", 11)), "\"t\\ta\\nb\\rc\\u0001\\u001f\\u007f\\u0000\"");
    EXPECT_EQ(JsonString("Druck \xC3\xBC"), "\"Druck \xC3\xBC\"");
}

TEST(ClientText, Utf16AndUtf8BothWays) {
    const OLECHAR wide[] = {'T', 0xFC, 0x20AC, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(Utf8FromOle(wide), "T\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(OleFromUtf8("T\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), OleString(wide));
    const OLECHAR lone[] = {'a', 0xDC00, 'b', 0xD800, 0};
    EXPECT_EQ(Utf8FromOle(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(Utf8FromOle(nullptr), "");
    // A broken sequence, an overlong slash and a cut-off tail each stand for one replacement.
    const OleString replaced = OleFromUtf8("x\xC3(\xC0\xAFy\xE2\x82");
    EXPECT_EQ(replaced, (OleString{'x', 0xFFFD, '(', 0xFFFD, 0xFFFD, 'y', 0xFFFD, 0xFFFD}));
}

TEST(ClientText, ValuesForPeopleAndForJson) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(ValueText(v), "empty");
    EXPECT_EQ(ValueJson(v), "null");
    V_VT(&v) = VT_I2;
    v.iVal = -32768;
    EXPECT_EQ(ValueText(v), "-32768");
    EXPECT_EQ(ValueJson(v), "-32768");
    V_VT(&v) = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(ValueJson(v), "true");
    V_VT(&v) = VT_R8;
    v.dblVal = 0.1;
    EXPECT_EQ(ValueText(v), "0.10000000000000001");
    v.dblVal = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(ValueJson(v), "null");
    const OLECHAR text[] = {'o', 'p', 'e', 'n', ' ', '"', 'A', '"', 0};
    V_VT(&v) = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    EXPECT_EQ(ValueText(v), "open \"A\"");
    EXPECT_EQ(ValueJson(v), "\"open \\\"A\\\"\"");
    VariantClear(&v);
    EXPECT_EQ(VarTypeName(VT_I2), "VT_I2");
    EXPECT_EQ(VarTypeName(VT_ARRAY | VT_UI1), "VT_ARRAY|VT_UI1");
    EXPECT_EQ(VarTypeName(0x42), "VT_0x0042");
}

struct Parsed {
    bool ok;
    std::string error;
    ClientOptions options;
};

Parsed Parse(std::vector<const char *> args) {
    args.insert(args.begin(), "brisvale-client");
    Parsed parsed{};
    parsed.ok = ParseClientOptions(static_cast<int>(args.size()), args.data(), parsed.options, parsed.error);
    return parsed;
}

TEST(ClientCommandLine, OptionsGoAnywhereAndDefaultsHold) {
    Parsed p = Parse({"read"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.command, ClientCommand::Read);
    EXPECT_EQ(p.options.server, "OPC.Brisvale.1");
    EXPECT_FALSE(p.options.json);
    EXPECT_EQ(p.options.rateMs, 1000u);

    p = Parse({"watch", "A", "--json", "--rate", "250", "--server", "Other.1", "B", "--", "--odd"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.command, ClientCommand::Watch);
    EXPECT_EQ(p.options.tags, (std::vector<std::string>{"A", "B", "--odd"}));
    EXPECT_TRUE(p.options.json);
    EXPECT_EQ(p.options.rateMs, 250u);
    EXPECT_EQ(p.options.server, "Other.1");

    EXPECT_TRUE(Parse({"--help"}).options.help);
}

TEST(ClientCommandLine, WhatCannotBeUsedIsSaid) {
    const std::vector<std::pair<std::vector<const char *>, std::string>> rows = {
        {{}, "no command: give list, read, watch or status"},
        {{"reed"}, "unknown command <reed>"},
        {{"read", "--verbose"}, "unknown option <--verbose>"},
        {{"read", "--server"}, "--server needs a ProgID"},
        {{"read", "--server", ""}, "--server needs a ProgID"},
        {{"watch", "--rate"}, "--rate needs milliseconds from 0 to 86400000"},
        {{"watch", "--rate", "-5"}, "--rate needs milliseconds from 0 to 86400000"},
        {{"watch", "--rate", "10x"}, "--rate needs milliseconds from 0 to 86400000"},
        {{"watch", "--rate", "86400001"}, "--rate needs milliseconds from 0 to 86400000"},
        {{"read", "--rate", "100"}, "--rate belongs to watch"},
        {{"list", "Pump1"}, "list takes no tags"},
        {{"status", "x"}, "status takes no tags"},
    };
    for (const auto &row : rows) {
        const Parsed p = Parse(row.first);
        EXPECT_FALSE(p.ok) << row.second;
        EXPECT_EQ(p.error, row.second);
    }
}

TEST(ClientActivation, EachFailureHasItsExitCodeAndMessage) {
    struct Row {
        ActivationStep step;
        unsigned result;
        int code;
        std::string message;
    };
    const std::vector<Row> rows = {
        {ActivationStep::LookUp, 0x800401F3, kExitNotRegistered, "X.1 is not registered (0x800401F3)"},
        {ActivationStep::Create, 0x80040154, kExitNotRegistered, "X.1 is not registered (0x80040154)"},
        {ActivationStep::Create, 0x80080005, kExitCannotStart,
         "X.1 is registered but could not be started (0x80080005)"},
        {ActivationStep::Create, 0x80070005, kExitRefused, "X.1 refused the client (0x80070005)"},
        {ActivationStep::LookUp, 0x80070005, kExitNotRegistered,
         "X.1 is registered where another user may change it; not used (0x80070005)"},
        {ActivationStep::Create, 0x8001011F, kExitCannotStart, "X.1 did not answer in time (0x8001011F)"},
        {ActivationStep::Create, 0x800706BB, kExitRefused,
         "X.1 is busy: it serves as many clients as it may; try again later (0x800706BB)"},
        {ActivationStep::Create, 0x80070004, kExitFailure,
         "this client may open no more files to reach X.1 (0x80070004)"},
    };
    for (const Row &row : rows) {
        const Activation a = ActivationFailure("X.1", row.step, static_cast<HRESULT>(row.result));
        EXPECT_FALSE(a.server);
        EXPECT_EQ(a.exitCode, row.code) << row.message;
        EXPECT_EQ(a.message, row.message);
    }
}

TEST(ClientActivation, AFailedCallSaysWhetherTheServerWentHungOrDroppedTheClient) {
    const std::vector<std::pair<unsigned, std::string>> rows = {
        {0x800706BA, "the server went away (GetStatus: 0x800706BA)"},
        {0x8001011F, "the server did not answer in time (GetStatus: 0x8001011F)"},
        {0x80070718, "the server dropped this client, which fell behind with the changes (GetStatus: 0x80070718)"},
        {0x80004005, "GetStatus failed (0x80004005)"},
    };
    for (const auto &row : rows) {
        std::ostringstream out;
        std::ostringstream err;
        ClientIo io(out, err, [](unsigned) { return true; });
        io.CallFailed("GetStatus", static_cast<HRESULT>(row.first));
        EXPECT_EQ(err.str(), "brisvale-client: " + row.second + "\n");
        EXPECT_EQ(out.str(), "");
    }
}

}  // namespace
