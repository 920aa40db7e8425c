// The port through the real Win32 calls, run under Wine by wine_port_test.sh:
// COM1 reaches a pseudo-terminal whose far end sends back what it receives,
// COM9 names no device.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "CError.h"
#include "ComPort.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A pseudo-terminal is always 8 bits without parity; Wine refuses to set
// anything else on one.
const char kMode[] = "COM1:baud=9600 parity=N data=8 stop=1";

template <typename Call>
std::string Failure(Call call) {
    try {
        call();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "(nothing thrown)";
}

class EchoPort : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetModeString(kMode);
        ASSERT_EQ(Failure([&] { port.Open(); }), "(nothing thrown)");
        ASSERT_TRUE(port.IsOpen());
    }

    void Send(const std::string &text) { port.Write(text.data(), static_cast<DWORD>(text.size())); }

    ComPort port;
};

TEST_F(EchoPort, ReadFromASilentLineReturnsNothingAfterTheTimeout) {
    char buffer[17];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(450));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(EchoPort, WriteReachesTheFarEnd) {
    Send(":010300000002FA\r\n");
    char buffer[17] = {};
    ASSERT_EQ(port.Read(buffer, sizeof buffer), 17u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), ":010300000002FA\r\n");
}

TEST_F(EchoPort, ReadTakesWhatWasAskedForAndPurgeDropsTheRest) {
    Send(":010304000A0102EB\r\n");  // 19 characters come back in one piece
    char buffer[17] = {};
    ASSERT_EQ(port.Read(buffer, sizeof buffer), 17u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), ":010304000A0102EB");
    port.PurgeInput();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

TEST_F(EchoPort, CloseTwiceClosesOnceAndTheModeIsLockedWhileOpen) {
    EXPECT_EQ(Failure([&] { port.SetModeString("COM2:baud=9600"); }), "Port is not closed");
    EXPECT_EQ(port.PortIndex(), 0);
    EXPECT_EQ(Failure([&] { port.SetPortNumber(9); }), "only COM1 to COM9 are supported");

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.SetModeString(kMode);
    port.Open();
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(EchoPort, AnUnreadableModeStringLeavesThePortOpen) {
    port.Close();
    port.SetModeString("COM1:baud=fast");
    EXPECT_EQ(Failure([&] { port.Open(); }), "bad mode string");
    EXPECT_TRUE(port.IsOpen());
}

TEST(MissingPort, ReportsErrorTwoAndStaysClosed) {
    ComPort port;
    port.SetModeString("COM9:baud=9600");
    EXPECT_EQ(Failure([&] { port.Open(); }), "CreateFile failed with error 2.\n");
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
