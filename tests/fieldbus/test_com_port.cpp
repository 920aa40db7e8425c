// The serial port: the port number its mode string selects and what each
// refusal leaves behind; then the device, COM1 reaching the reference
// instrument (with_instrument.sh maps it).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "../common/outcome.h"
#include "ComPort.h"

namespace {

const char kOnlyCom1To9[] = "only COM1 to COM9 are supported";
const char kHint[] = "com number not specified. Use syntax:\nCOM1:baud=9600 stop=1 parity=N data=8";
// Wine sets nothing else on a pseudo-terminal.
const char kMode[] = "COM1:baud=9600 parity=N data=8 stop=1";

TEST(ComPortModeString, TakesTheNumberAfterComAnywhereAndKeepsTheLetterCase) {
    const std::string longest = "COM7" + std::string(ComPort::kModeStringCapacity - 5, ' ');
    const struct {
        std::string text;
        int index;
    } rows[] = {{"com2:baud=19200 parity=E data=8 stop=1", 1}, {"baud=9600 data=8 COM3", 2}, {"cOm9", 8}, {longest, 6}};
    ComPort port;
    for (const auto &row : rows) {
        port.SetModeString(row.text.c_str());
        EXPECT_EQ(port.ModeString(), row.text);
        EXPECT_EQ(port.PortIndex(), row.index) << row.text;
    }
}

TEST(ComPortModeString, RefusalsStoreTheTextButKeepThePortNumber) {
    const struct {
        const char *text;
        const char *message;
    } rows[] = {// COM10 and above are refused instead of being taken for COM1.
                {"COM12:baud=9600", kOnlyCom1To9},
                {"COM0:baud=9600", kOnlyCom1To9},
                {"COMA", kOnlyCom1To9},
                {"baud=9600 parity=N", kHint}};
    for (const auto &row : rows) {
        ComPort port;
        port.SetModeString("COM5");
        EXPECT_EQ(Outcome([&] { port.SetModeString(row.text); }), row.message) << row.text;
        EXPECT_STREQ(port.ModeString(), row.text);
        EXPECT_EQ(port.PortIndex(), 4) << row.text;
    }
    // 256 characters are refused before the number is looked at, and not stored.
    ComPort port;
    port.SetModeString("COM5");
    const std::string tooLong = "COM12" + std::string(ComPort::kModeStringCapacity - 5, 'x');
    EXPECT_EQ(Outcome([&] { port.SetModeString(tooLong.c_str()); }), "bad mode string");
    EXPECT_STREQ(port.ModeString(), "COM5");
    EXPECT_EQ(Outcome([&] { port.SetPortNumber(9); }), kOnlyCom1To9);
    EXPECT_EQ(Outcome([&] { port.SetPortNumber(-1); }), kOnlyCom1To9);
}

// Below about 9600 baud the longest answer (255 characters) needs more than
// 500 ms on the line: the read waits its line time plus 100 ms.
TEST(ComPortReadTimeout, FollowsTheCharacterTimeBelowNineThousandSixHundredBaud) {
    const struct {
        const char *mode;
        std::uint32_t ms;
    } rows[] = {{"baud=9600 parity=N data=8 stop=1", 500},
                {"baud=9600 parity=E data=8 stop=2", 500},  // 12 bits: 319 ms
                {"baud=4800 parity=N data=8 stop=1", 532 + 100},
                {"baud=1200 parity=E data=7 stop=1", 2125 + 100},
                {"baud=1200 parity=O data=8 stop=1.5", 2444 + 100},  // 11.5 bits
                {"baud=300 parity=N data=8 stop=2", 9350 + 100}};
    for (const auto &row : rows) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(BuildCommDCBA(row.mode, &dcb)) << row.mode;
        EXPECT_EQ(ComPort::ReadTimeoutFor(dcb, 500), row.ms) << row.mode;
    }
    DCB unknown{};
    EXPECT_EQ(ComPort::ReadTimeoutFor(unknown, 500), 500u);
}

class ComPortDevice : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetModeString(kMode);
        ASSERT_EQ(Outcome([&] { port.Open(); }), "");
        port.PurgeInput();
    }
    ComPort port;
};

// Not run under Wine, which does not refuse a second open.
TEST_F(ComPortDevice, ASecondOpenerGetsTheErrorNumber) {
    ComPort second;
    second.SetModeString(kMode);
    EXPECT_EQ(Outcome([&] { second.Open(); }), "CreateFile failed with error 16.\n");
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(ComPortDevice, ModesChangeOnlyWhileClosedAndAFailedConfigureClosesThePort) {
    EXPECT_EQ(Outcome([&] { port.SetModeString("COM2:baud=9600"); }), "Port is not closed");
    EXPECT_EQ(port.PortIndex(), 0);
    port.Close();
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.SetModeString("COM1:baud=fast");
    EXPECT_EQ(Outcome([&] { port.Open(); }), "bad mode string");
    EXPECT_FALSE(port.IsOpen());

    // Opened, the port applies the read time-out of its baud rate (without
    // one, a silent device's read would wait for ever).
    port.SetModeString("COM1:baud=1200 parity=E data=7 stop=1");
    port.Open();
    EXPECT_EQ(port.Timeouts().ReadTotalTimeoutConstant, 2225u);
    EXPECT_EQ(port.Timeouts().WriteTotalTimeoutConstant, 500u);
}

// Texts the port takes but the Linux settings refuse; not run under Wine,
// whose builder and pseudo-terminals judge them otherwise. The port lets go
// of the device: another opener gets it.
TEST_F(ComPortDevice, RefusedSettingsLeaveTheDeviceFree) {
    port.Close();
    const struct {
        const char *mode;
        const char *message;
    } rows[] = {{"baud=9600 data=8 COM1", "bad mode string"},
                {"COM1:baud=14400", "SetCommState failed with error 22.\n"}};
    for (const auto &row : rows) {
        ComPort refused;
        refused.SetModeString(row.mode);
        EXPECT_EQ(Outcome([&] { refused.Open(); }), row.message) << row.mode;
        EXPECT_FALSE(refused.IsOpen()) << row.mode;
        ComPort other;
        other.SetModeString(kMode);
        EXPECT_EQ(Outcome([&] { other.Open(); }), "") << row.mode;
    }
}

}  // namespace
