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

TEST(ComPortModeString, TakesTheNumberAfterComAnywhereAndRefusesOthers) {
    const std::string longest = "cOm9" + std::string(ComPort::kModeStringCapacity - 5, ' ');
    ComPort port;
    for (const std::string &text : {std::string("baud=9600 data=8 COM3"), longest}) {
        port.SetModeString(text.c_str());
        EXPECT_EQ(port.ModeString(), text);
    }
    EXPECT_EQ(port.PortIndex(), 8);
    // COM10 and above are refused instead of being taken for COM1; the text
    // is stored, the number kept.
    const struct {
        const char *text;
        const char *message;
    } rows[] = {{"COM12:baud=9600", kOnlyCom1To9}, {"baud=9600 parity=N", kHint}};
    for (const auto &row : rows) {
        EXPECT_EQ(Outcome([&] { port.SetModeString(row.text); }), row.message) << row.text;
        EXPECT_STREQ(port.ModeString(), row.text);
        EXPECT_EQ(port.PortIndex(), 8) << row.text;
    }
    // 256 characters are refused before the number is looked at, and not stored.
    const std::string tooLong = "COM1" + std::string(ComPort::kModeStringCapacity - 4, 'x');
    EXPECT_EQ(Outcome([&] { port.SetModeString(tooLong.c_str()); }), "bad mode string");
    EXPECT_STREQ(port.ModeString(), "baud=9600 parity=N");
}

// Below about 9600 baud the longest answer (255 characters) needs more than
// 500 ms on the line: the read waits its line time plus 100 ms.
TEST(ComPortReadTimeout, FollowsTheCharacterTimeBelowNineThousandSixHundredBaud) {
    const struct {
        const char *mode;
        std::uint32_t ms;
    } rows[] = {{"baud=9600 parity=N data=8 stop=1", 500}, {"baud=1200 parity=O data=8 stop=1.5", 2444 + 100}};
    for (const auto &row : rows) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(BuildCommDCBA(row.mode, &dcb)) << row.mode;
        EXPECT_EQ(ComPort::ReadTimeoutFor(dcb, 500), row.ms) << row.mode;
    }
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

TEST_F(ComPortDevice, ModesChangeOnlyWhileClosedAndTheReadTimeOutFollowsTheBaudRate) {
    EXPECT_EQ(Outcome([&] { port.SetModeString("COM2:baud=9600"); }), "Port is not closed");
    port.Close();
    // A port that cannot be configured is closed again.
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

}  // namespace
