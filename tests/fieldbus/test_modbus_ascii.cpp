// The Modbus ASCII codec: frames and their LRC, decoding, parsing, and the
// limits of every buffer it writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "../common/outcome.h"
#include "ModbusAscii.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Frame(const Bytes &message) {
    char out[64];
    return ModbusAscii::EncodeFrame(message.data(), out, static_cast<unsigned>(message.size()), sizeof out);
}

Bytes Decode(const char *text) {
    std::uint8_t out[64];
    return Bytes(out, out + ModbusAscii::DecodeFrame(text, out, sizeof out));
}

int Parse(const Bytes &message, std::uint16_t *regs, int capacity) {
    return ModbusAscii::ParseReadResponse(message.data(), static_cast<unsigned>(message.size()), regs, capacity);
}

TEST(ModbusAscii, EncodesAndDecodesTheWorkedExample) {
    std::uint8_t request[6];
    ASSERT_EQ(ModbusAscii::EncodeReadRequest(17, 107, 3, request, sizeof request), 6u);
    EXPECT_EQ(Frame(Bytes(request, request + 6)), ":1103006B00037E\r\n");
    // Only the run of upper-case digits after the colon is decoded.
    EXPECT_EQ(Decode(":01a3"), Bytes{1});
    const Bytes decoded = Decode(":010304000A0102EB\r\n04");
    ASSERT_EQ(decoded.size(), 8u);
    EXPECT_TRUE(ModbusAscii::CheckLrc(decoded.data(), 8));
    Bytes changed = decoded;
    changed[4] ^= 0x10;
    EXPECT_FALSE(ModbusAscii::CheckLrc(changed.data(), 8));

    std::uint16_t regs[5] = {};
    EXPECT_EQ(Parse(decoded, regs, 5), 2);
    EXPECT_EQ(regs[0], 10);
    EXPECT_EQ(regs[1], 258);
    // An exception and a byte count beyond the data give no registers.
    for (const Bytes &unusable : {Bytes{1, 0x83, 2, 0x7A}, Bytes{1, 3, 0xFE, 0}}) {
        EXPECT_EQ(Parse(unusable, regs, 5), 0) << unusable.size() << " bytes";
    }
}

bool Answers(const Bytes &request, const Bytes &answer) {
    return ModbusAscii::AnswersRequest(request.data(), answer.data(), static_cast<unsigned>(answer.size()));
}

// Decoded answers, LRC last, to device 1 asking for two registers.
TEST(ModbusAscii, AnAnswerMatchesOnlyItsOwnRequest) {
    const Bytes request{1, 3, 0, 0, 0, 2};
    EXPECT_TRUE(Answers(request, {1, 3, 4, 0x00, 0x0A, 0x01, 0x02, 0xEB}));
    const struct {
        const char *what;
        Bytes answer;
    } rows[] = {{"another device", {2, 3, 4, 0x00, 0x0A, 0x01, 0x02, 0xEA}},
                {"one register", {1, 3, 2, 0x00, 0x0A, 0xF0}},
                {"the LRC taken for data", {1, 3, 4, 0x00, 0x0A, 0x01, 0xED}}};
    for (const auto &row : rows) EXPECT_FALSE(Answers(request, row.answer)) << row.what;
}

TEST(ModbusAscii, EveryOutputLimitIsExactAndKeepsWhatFitted) {
    std::uint8_t bytes[8];
    std::memset(bytes, 0xEE, sizeof bytes);
    EXPECT_EQ(Outcome([&] { ModbusAscii::EncodeReadRequest(1, 0, 2, bytes, 5); }), "buffer too small");
    EXPECT_EQ(bytes[0], 0xEE);
    char frame[18];
    EXPECT_EQ(Outcome([&] { ModbusAscii::EncodeFrame(bytes, frame, 6, 17); }), "output buffer too small");
    // 2 * length + 6 must not wrap.
    EXPECT_EQ(Outcome([&] { ModbusAscii::EncodeFrame(bytes, frame, 0x80000000u, 18); }), "output buffer too small");

    EXPECT_EQ(Outcome([&] { ModbusAscii::DecodeFrame(":01020304", bytes, 3); }), "binaryBuffer too small");
    EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{1, 2, 3, 0xEE}));

    std::uint16_t one[2] = {0, 0xBEEF};
    EXPECT_EQ(Outcome([&] { Parse({1, 3, 4, 0, 0x0A, 1, 2, 0xEB}, one, 1); }), "regs too small");
    EXPECT_EQ(one[0], 10);
    EXPECT_EQ(one[1], 0xBEEF);
}

}  // namespace
