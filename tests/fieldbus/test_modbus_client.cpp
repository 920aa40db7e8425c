// The register read transaction against the reference instrument, which
// with_instrument.sh starts and maps to COM1 (COM9 names a missing device).
// It answers devices 1 and 17; 11, 12 and 13 answer with a bad LRC, in lower
// case and cut short; every other device is silent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "CError.h"
#include "ComPort.h"
#include "ModbusAscii.h"
#include "ModbusClient.h"
#include "ModbusLink.h"

// The server defines this beside its other process-wide objects.
ModbusLink modbusLink;

namespace {

constexpr char kInstrumentMode[] = "COM1:baud=9600 parity=N data=8 stop=1";
constexpr char kMissingMode[] = "COM9:baud=9600 parity=N data=8 stop=1";
constexpr std::uint16_t kUntouched = 0xEEEE;

// The instrument's table: reference_instrument.py's register_value.
std::uint16_t Expected(int device, unsigned address) {
    return static_cast<std::uint16_t>((device * 0x1111 + address * 0x0101 + 7) & 0xFFFF);
}

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

class Transaction : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetModeString(kInstrumentMode);
        std::fill(std::begin(regs), std::end(regs), kUntouched);
    }

    bool Read(std::uint8_t device, std::uint16_t start, std::uint16_t count) {
        return client.ReadHoldingRegisters(device, start, count, regs);
    }

    ComPort port;
    ModbusAscii codec;
    ModbusClient client{port, codec};
    std::uint16_t regs[256];
};

TEST_F(Transaction, OpensTheClosedPortReadsTheValuesAndLeavesTheLineEndUnread) {
    ASSERT_FALSE(port.IsOpen());
    ASSERT_TRUE(Read(1, 0, 2));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(regs[0], Expected(1, 0));
    EXPECT_EQ(regs[1], Expected(1, 1));
    EXPECT_EQ(regs[2], kUntouched);

    // The CR LF left by the first answer are purged before the second request.
    ASSERT_TRUE(Read(17, 107, 3));
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(regs[i], Expected(17, 107 + i)) << i;
    char rest[8] = {};
    EXPECT_EQ(port.Read(rest, 2), 2u);
    EXPECT_STREQ(rest, "\r\n");
}

TEST_F(Transaction, SixtyOneRegistersInOneTransactionAfterTheTurnaroundPause) {
    const auto start = Clock::now();
    ASSERT_TRUE(Read(1, 100, 61));
    EXPECT_GE(MillisecondsSince(start), 20);
    for (unsigned i = 0; i < 61; ++i) EXPECT_EQ(regs[i], Expected(1, 100 + i)) << i;
    EXPECT_EQ(regs[61], kUntouched);
}

TEST_F(Transaction, SixtyTwoRegistersAreRequestedThenRefused) {
    try {
        Read(1, 0, 62);
        FAIL() << "nothing thrown";
    } catch (const CError &e) {
        EXPECT_STREQ(e.narrowMessage, "too many registers requested");
    }
    EXPECT_EQ(regs[0], kUntouched);

    // The request went out: the instrument's full answer is waiting unread.
    char answer[ModbusClient::kBufferSize + 8] = {};
    ASSERT_EQ(port.Read(answer, 62 * 4 + 11), 62u * 4 + 11);
    EXPECT_EQ(std::string(answer, 7), ":01037C");
    std::uint8_t decoded[256];
    const unsigned length = ModbusAscii::DecodeFrame(answer, decoded, sizeof decoded);
    EXPECT_EQ(length, 62u * 2 + 4);
    EXPECT_TRUE(ModbusAscii::CheckLrc(decoded, length));

    // And the port is still usable.
    EXPECT_TRUE(Read(1, 0, 2));
}

TEST_F(Transaction, SilentDeviceFailsAfterTheReadTimeOutAndKeepsThePortOpen) {
    const auto start = Clock::now();
    EXPECT_FALSE(Read(9, 0, 2));
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 20 + 500);
    EXPECT_LT(elapsed, 10000);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(Read(1, 0, 2));
}

TEST_F(Transaction, ExceptionResponseFails) {
    // Registers 255 and 256 of a 256-register table: "illegal data address".
    EXPECT_FALSE(Read(1, 255, 2));
    EXPECT_EQ(regs[0], kUntouched);
    EXPECT_TRUE(Read(1, 254, 2));
    EXPECT_EQ(regs[1], Expected(1, 255));
}

TEST_F(Transaction, CorruptedAnswersFail) {
    EXPECT_FALSE(Read(11, 0, 2)) << "bad LRC";
    EXPECT_FALSE(Read(12, 0, 2)) << "lower-case digits";
    EXPECT_FALSE(Read(13, 0, 2)) << "cut short";
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(Read(1, 0, 2));
    EXPECT_EQ(regs[1], Expected(1, 1));
}

TEST(ModbusLinkLifetime, DestroyingTheLinkClosesItsPort) {
    {
        ModbusLink link;
        link.Port().SetModeString(kInstrumentMode);
        std::uint16_t regs[2];
        testing::internal::CaptureStdout();
        const bool ok = link.ReadRegisters(1, 0, 2, regs);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ok);
        ASSERT_TRUE(link.Port().IsOpen());
    }
    // The port is exclusive while open: a new owner can have it only now.
    ComPort port;
    port.SetModeString(kInstrumentMode);
    EXPECT_NO_THROW(port.Open());
}

// The banner belongs to the first failure of the process, so the process-wide
// link is used by this test alone, in one sequence.
TEST(ModbusLinkConsole, BannerOnceThenPlusAndMinusInOrder) {
    std::uint16_t regs[256];
    ComPort &port = modbusLink.Port();
    port.SetModeString(kMissingMode);

    testing::internal::CaptureStdout();
    const bool missing = modbusLink.ReadRegisters(1, 0, 2, regs);
    const bool missingAgain = modbusLink.ReadRegisters(1, 0, 2, regs);
    port.SetModeString(kInstrumentMode);
    const bool good = modbusLink.ReadRegisters(1, 0, 2, regs);
    const bool silent = modbusLink.ReadRegisters(9, 0, 2, regs);
    const bool tooMany = modbusLink.ReadRegisters(1, 0, 62, regs);
    char lateAnswer[62 * 4 + 11];
    port.Read(lateAnswer, sizeof lateAnswer);  // so that it cannot pass for the next answer
    const bool largest = modbusLink.ReadRegisters(1, 0, 61, regs);
    const std::string out = WithoutCarriageReturns(testing::internal::GetCapturedStdout());
    port.Close();

    EXPECT_FALSE(missing);
    EXPECT_FALSE(missingAgain);
    EXPECT_TRUE(good);
    EXPECT_FALSE(silent);
    EXPECT_FALSE(tooMany);
    EXPECT_TRUE(largest);
    EXPECT_EQ(regs[60], Expected(1, 60));

    // The open is retried by every read while the port stays closed; a port
    // that does not exist is error 2 on both platforms.
    EXPECT_EQ(out,
              "CreateFile failed with error 2.\n\n"
              "\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n"
              "CreateFile failed with error 2.\n\n-"
              "+"
              "-"
              "too many registers requested\n-"
              "+");
}

}  // namespace
