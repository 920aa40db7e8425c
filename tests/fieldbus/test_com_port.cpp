// The port's mode string and port number: what is accepted, what is refused
// with which message, and what each refusal leaves behind. No device needed.
#include <gtest/gtest.h>

#include <string>

#include "CError.h"
#include "ComPort.h"

namespace {

const char kHint[] = "com number not specified. Use syntax:\nCOM1:baud=9600 stop=1 parity=N data=8";
const char kOnlyCom1To9[] = "only COM1 to COM9 are supported";

template <typename Call>
std::string Failure(Call call) {
    try {
        call();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "(nothing thrown)";
}

TEST(ComPortModeString, StartsClosedWithNoModeOnCom1) {
    ComPort port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_STREQ(port.ModeString(), "");
    EXPECT_EQ(port.PortIndex(), 0);
    port.Close();  // closing a closed port does nothing
    EXPECT_FALSE(port.IsOpen());
}

TEST(ComPortModeString, TakesThePortNumberAndKeepsTheLetterCase) {
    ComPort port;
    port.SetModeString("com2:baud=19200 parity=E data=8 stop=1");
    EXPECT_EQ(port.PortIndex(), 1);
    EXPECT_STREQ(port.ModeString(), "com2:baud=19200 parity=E data=8 stop=1");

    port.SetModeString("baud=9600 data=8 COM3");  // the number may stand anywhere
    EXPECT_EQ(port.PortIndex(), 2);
    port.SetModeString("cOm9");
    EXPECT_EQ(port.PortIndex(), 8);
    port.SetModeString("COM1:baud=9600 stop=1 parity=N data=8");
    EXPECT_EQ(port.PortIndex(), 0);
}

TEST(ComPortModeString, RefusesAnythingButOneDigitFrom1To9AfterCom) {
    for (const char *text : {"COM0:baud=9600", "COM:baud=9600", "COMA", "baud=9600 COM", "COM 1", "COMMENT COM2"}) {
        ComPort port;
        port.SetModeString("COM4");
        EXPECT_EQ(Failure([&] { port.SetModeString(text); }), kOnlyCom1To9) << text;
        // The text is stored before the number is looked at; the number stays.
        EXPECT_STREQ(port.ModeString(), text);
        EXPECT_EQ(port.PortIndex(), 3) << text;
    }
}

TEST(ComPortModeString, RefusesTwoDigitPortsInsteadOfTakingTheFirstDigit) {
    ComPort port;
    port.SetModeString("COM5");
    EXPECT_EQ(Failure([&] { port.SetModeString("COM12:baud=9600"); }), kOnlyCom1To9);
    EXPECT_EQ(port.PortIndex(), 4);
    EXPECT_EQ(Failure([&] { port.SetModeString("baud=9600 com10"); }), kOnlyCom1To9);
    EXPECT_EQ(port.PortIndex(), 4);
}

TEST(ComPortModeString, WithoutComGivesTheHintAndStillStoresTheText) {
    ComPort port;
    port.SetModeString("COM6");
    EXPECT_EQ(Failure([&] { port.SetModeString("baud=9600 parity=N"); }), kHint);
    EXPECT_STREQ(port.ModeString(), "baud=9600 parity=N");
    EXPECT_EQ(port.PortIndex(), 5);

    EXPECT_EQ(Failure([&] { port.SetModeString(""); }), kHint);
    EXPECT_STREQ(port.ModeString(), "");
    EXPECT_EQ(Failure([&] { port.SetModeString(nullptr); }), kHint);
}

TEST(ComPortModeString, AcceptsUpTo255CharactersAndRefusesLongerBeforeLookingForTheNumber) {
    ComPort port;
    std::string text = "COM7:baud=9600";
    text.resize(ComPort::kModeStringCapacity - 1, ' ');
    port.SetModeString(text.c_str());
    EXPECT_EQ(port.ModeString(), text);
    EXPECT_EQ(port.PortIndex(), 6);

    // COM12 would be refused too, but the length is what is reported.
    for (std::size_t length : {std::size_t{256}, std::size_t{257}, std::size_t{5000}}) {
        std::string tooLong = "COM12:baud=9600";
        tooLong.resize(length, 'x');
        EXPECT_EQ(Failure([&] { port.SetModeString(tooLong.c_str()); }), "bad mode string") << length;
        EXPECT_EQ(port.ModeString(), text) << "a refused text is not stored";
        EXPECT_EQ(port.PortIndex(), 6);
    }
}

TEST(ComPortPortNumber, AcceptsZeroToEightOnly) {
    ComPort port;
    port.SetPortNumber(8);
    EXPECT_EQ(port.PortIndex(), 8);
    port.SetPortNumber(0);
    EXPECT_EQ(port.PortIndex(), 0);
    for (int index : {-1, 9, 255, -2147483647 - 1}) {
        EXPECT_EQ(Failure([&] { port.SetPortNumber(index); }), kOnlyCom1To9) << index;
        EXPECT_EQ(port.PortIndex(), 0);
    }
}

}  // namespace
