#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "CError.h"
#include "ModbusAscii.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename F>
std::string ThrownMessage(F action) {
    try {
        action();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "(nothing thrown)";
}

std::string Frame(const Bytes &message) {
    char out[256];
    ModbusAscii::EncodeFrame(message.data(), out, static_cast<unsigned>(message.size()), sizeof out);
    return out;
}

Bytes Decode(const char *text, unsigned capacity = 256) {
    std::uint8_t out[256] = {};
    const unsigned n = ModbusAscii::DecodeFrame(text, out, capacity);
    return Bytes(out, out + n);
}

TEST(ModbusAsciiEncode, ReadRequestAndFrameOfTheWorkedExamples) {
    std::uint8_t request[6];
    ASSERT_EQ(ModbusAscii::EncodeReadRequest(1, 0, 2, request, sizeof request), 6u);
    EXPECT_EQ(Bytes(request, request + 6), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_EQ(Frame(Bytes(request, request + 6)), ":010300000002FA\r\n");

    ModbusAscii::EncodeReadRequest(17, 107, 3, request, sizeof request);
    EXPECT_EQ(Frame(Bytes(request, request + 6)), ":1103006B00037E\r\n");

    EXPECT_EQ(Frame({0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02}), ":010304000A0102EB\r\n");
}

TEST(ModbusAsciiEncode, AddressStartAndCountTakeTheirFullWidthUnlimited) {
    std::uint8_t request[6];
    ModbusAscii::EncodeReadRequest(0xFF, 0xABCD, 0xFFFF, request, sizeof request);
    EXPECT_EQ(Bytes(request, request + 6), (Bytes{0xFF, 0x03, 0xAB, 0xCD, 0xFF, 0xFF}));
    EXPECT_EQ(Frame(Bytes(request, request + 6)), ":FF03ABCDFFFF88\r\n");
}

TEST(ModbusAsciiEncode, LrcIsTheTwosComplementOfTheByteSum) {
    EXPECT_EQ(Frame({0x80, 0x80}), ":808000\r\n");
    EXPECT_EQ(Frame({0xFF, 0x01}), ":FF0100\r\n");
    EXPECT_EQ(Frame({0x01}), ":01FF\r\n");
    EXPECT_EQ(Frame({}), ":00\r\n");
}

TEST(ModbusAsciiEncode, OutputLimitsAreExactAndNothingIsWrittenBelowThem) {
    std::uint8_t request[8];
    std::memset(request, 0xEE, sizeof request);
    EXPECT_EQ(ThrownMessage([&] { ModbusAscii::EncodeReadRequest(1, 0, 2, request, 5); }), "buffer too small");
    EXPECT_EQ(request[0], 0xEE);
    EXPECT_EQ(ModbusAscii::EncodeReadRequest(1, 0, 2, request, 6), 6u);
    EXPECT_EQ(request[6], 0xEE);

    char frame[20];
    std::memset(frame, '#', sizeof frame);
    EXPECT_EQ(ThrownMessage([&] { ModbusAscii::EncodeFrame(request, frame, 6, 17); }), "output buffer too small");
    EXPECT_EQ(frame[0], '#');
    EXPECT_EQ(ModbusAscii::EncodeFrame(request, frame, 6, 18), frame);
    EXPECT_EQ(std::strlen(frame), 17u);
    EXPECT_EQ(frame[18], '#');

    // A length whose frame size would wrap an unsigned computation.
    EXPECT_EQ(ThrownMessage([&] { ModbusAscii::EncodeFrame(request, frame, 0x80000000u, 20); }),
              "output buffer too small");
}

TEST(ModbusAsciiDecode, RunOfUpperCaseDigitsAfterTheColon) {
    EXPECT_EQ(Decode(":0103"), (Bytes{0x01, 0x03}));
    EXPECT_EQ(Decode(":010"), (Bytes{0x01}));
    EXPECT_TRUE(Decode(":0").empty());
    EXPECT_TRUE(Decode(":").empty());
    EXPECT_TRUE(Decode("").empty());
    EXPECT_TRUE(Decode("0103").empty());
    EXPECT_TRUE(Decode(" :0103").empty());
    EXPECT_EQ(ModbusAscii::DecodeFrame(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(Decode(":01a3"), (Bytes{0x01}));
    EXPECT_EQ(Decode(":0103:0405"), (Bytes{0x01, 0x03}));
    EXPECT_EQ(Decode(":0103\r\n0405"), (Bytes{0x01, 0x03}));
    EXPECT_EQ(Decode(":0103G4"), (Bytes{0x01, 0x03}));
    EXPECT_EQ(Decode(":ABCDEF"), (Bytes{0xAB, 0xCD, 0xEF}));
}

TEST(ModbusAsciiDecode, ResponseDecodesWithItsLrcAndAnyChangedByteFailsTheCheck) {
    const Bytes decoded = Decode(":010304000A0102EB");
    ASSERT_EQ(decoded, (Bytes{0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0xEB}));
    EXPECT_TRUE(ModbusAscii::CheckLrc(decoded.data(), static_cast<unsigned>(decoded.size())));
    for (size_t i = 0; i < decoded.size(); ++i) {
        Bytes changed = decoded;
        changed[i] ^= 0x10;
        EXPECT_FALSE(ModbusAscii::CheckLrc(changed.data(), static_cast<unsigned>(changed.size()))) << "byte " << i;
    }
    const std::uint8_t zero = 0;
    EXPECT_FALSE(ModbusAscii::CheckLrc(&zero, 0));
    EXPECT_TRUE(ModbusAscii::CheckLrc(&zero, 1));
}

TEST(ModbusAsciiDecode, OutputLimitKeepsTheBytesThatFitted) {
    std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ThrownMessage([&] { ModbusAscii::DecodeFrame(":01020304", out, 3); }), "binaryBuffer too small");
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x01, 0x02, 0x03, 0xEE}));
    EXPECT_EQ(ModbusAscii::DecodeFrame(":010203", out, 3), 3u);
    // The odd digit at the end needs no room.
    EXPECT_EQ(ModbusAscii::DecodeFrame(":0102030", out, 3), 3u);
    EXPECT_EQ(ThrownMessage([&] { ModbusAscii::DecodeFrame(":01", out, 0); }), "binaryBuffer too small");
}

TEST(ModbusAsciiDecode, DigcharAcceptsOnlyDigitsAndUpperCaseHex) {
    EXPECT_EQ(ModbusAscii::digchar('0'), 0u);
    EXPECT_EQ(ModbusAscii::digchar('9'), 9u);
    EXPECT_EQ(ModbusAscii::digchar('A'), 10u);
    EXPECT_EQ(ModbusAscii::digchar('F'), 15u);
    for (const char c : {'a', 'f', 'G', ':', '/', '@', '\0', '\r'}) {
        EXPECT_EQ(ThrownMessage([c] { ModbusAscii::digchar(c); }), "digchar argument error") << int(c);
    }
}

TEST(ModbusAsciiParse, RegistersOfANormalResponse) {
    const Bytes m{0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0xEB};
    const unsigned n = static_cast<unsigned>(m.size());
    std::uint16_t regs[5] = {};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(m.data(), n, regs, 2), 2);
    EXPECT_EQ(regs[0], 10);
    EXPECT_EQ(regs[1], 258);
    EXPECT_EQ(ModbusAscii::ParseReadResponse(m.data(), n, regs, 5), 2);

    std::uint16_t one[2] = {0, 0xBEEF};
    EXPECT_EQ(ThrownMessage([&] { ModbusAscii::ParseReadResponse(m.data(), n, one, 1); }), "regs too small");
    EXPECT_EQ(one[0], 10);
    EXPECT_EQ(one[1], 0xBEEF);

    // Another device address than the one asked is not looked at; FF FF is the pattern 0xFFFF.
    const Bytes other{0x07, 0x03, 0x02, 0xFF, 0xFF, 0xFC};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(other.data(), 6, regs, 1), 1);
    EXPECT_EQ(regs[0], 0xFFFF);
    EXPECT_EQ(static_cast<std::int16_t>(regs[0]), -1);
}

TEST(ModbusAsciiParse, UnusableResponsesGiveNoRegisters) {
    std::uint16_t regs[4] = {};
    const Bytes exception{0x01, 0x83, 0x02, 0x7A};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(exception.data(), 4, regs, 4), 0);
    const Bytes oddCount{0x01, 0x03, 0x03, 0x00, 0x0A, 0x01, 0xEE};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(oddCount.data(), 7, regs, 4), 0);
    const Bytes cut{0x01, 0x03, 0x04, 0x00, 0x0A};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(cut.data(), 5, regs, 4), 0);
    // Exactly byte count + 3 is enough: the LRC byte is not required.
    const Bytes noLrc{0x01, 0x03, 0x02, 0x00, 0x0A};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(noLrc.data(), 5, regs, 4), 1);
    const Bytes empty{0x01, 0x03, 0x00, 0xFC};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(empty.data(), 4, regs, 4), 0);
    EXPECT_EQ(ModbusAscii::ParseReadResponse(empty.data(), 2, regs, 4), 0);
    // A byte count of 254 that the data cannot hold.
    const Bytes huge{0x01, 0x03, 0xFE, 0x00};
    EXPECT_EQ(ModbusAscii::ParseReadResponse(huge.data(), 4, regs, 4), 0);
}

TEST(ModbusAsciiRoundTrip, LargestResponseFitsTheTransactionBuffers) {
    // 61 registers: the longest answer one transaction reads (253 characters up to the LRC).
    Bytes message{0x01, 0x03, 122};
    for (int i = 0; i < 61; ++i) {
        message.push_back(static_cast<std::uint8_t>(i * 37 >> 8));
        message.push_back(static_cast<std::uint8_t>(i * 37));
    }
    char frame[256];
    ModbusAscii::EncodeFrame(message.data(), frame, static_cast<unsigned>(message.size()), sizeof frame);
    ASSERT_EQ(std::strlen(frame), 4u * 61 + 11);
    frame[4 * 61 + 9] = '\0';  // what the transaction reads: up to the LRC

    std::uint8_t decoded[256];
    const unsigned n = ModbusAscii::DecodeFrame(frame, decoded, sizeof decoded);
    ASSERT_EQ(n, message.size() + 1);
    EXPECT_TRUE(ModbusAscii::CheckLrc(decoded, n));
    std::uint16_t regs[61];
    ASSERT_EQ(ModbusAscii::ParseReadResponse(decoded, n, regs, 61), 61);
    for (int i = 0; i < 61; ++i) EXPECT_EQ(regs[i], i * 37);
}

}  // namespace
