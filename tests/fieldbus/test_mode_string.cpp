// The mode-command builder of the Linux serial layer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/serial.h"

namespace {

// A DCB whose every field holds a value no mode string sets, so that changes
// and non-changes both show.
DCB Marked() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1234;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.ByteSize = 6;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 77;
    return dcb;
}

bool Same(const DCB &a, const DCB &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

DCB Built(const char *text) {
    DCB dcb = Marked();
    EXPECT_TRUE(BuildCommDCBA(text, &dcb)) << text;
    return dcb;
}

TEST(ModeString, TheSystemHintSetsItsFourFieldsAndTurnsFlowControlOff) {
    const DCB dcb = Built("COM1:baud=9600 stop=1 parity=N data=8");
    DCB expected = Marked();
    expected.BaudRate = 9600;
    expected.StopBits = ONESTOPBIT;
    expected.Parity = NOPARITY;
    expected.ByteSize = 8;
    expected.fOutX = 0;
    expected.fInX = 0;
    expected.fOutxCtsFlow = 0;
    expected.fOutxDsrFlow = 0;
    EXPECT_TRUE(Same(dcb, expected));
}

TEST(ModeString, SevenDataBitsWithEvenParityInAnyLetterCase) {
    for (const char *text : {"com2:baud=19200 parity=e data=7 stop=1", "COM2:BAUD=19200 PARITY=E DATA=7 STOP=1",
                             "baud=19200 Parity=E data=7", "  COM2:  baud=19200   parity=e data=7  "}) {
        const DCB dcb = Built(text);
        EXPECT_EQ(dcb.BaudRate, 19200u) << text;
        EXPECT_EQ(dcb.Parity, EVENPARITY) << text;
        EXPECT_EQ(dcb.ByteSize, 7) << text;
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT) << text;
    }
}

TEST(ModeString, EveryParityDataSizeAndStopValue) {
    const struct {
        const char *text;
        BYTE parity;
    } parities[] = {{"parity=n", NOPARITY},
                    {"parity=o", ODDPARITY},
                    {"parity=e", EVENPARITY},
                    {"parity=m", MARKPARITY},
                    {"parity=s", SPACEPARITY}};
    for (const auto &p : parities) EXPECT_EQ(Built(p.text).Parity, p.parity) << p.text;
    for (int bits = 5; bits <= 8; ++bits) {
        const std::string text = "data=" + std::to_string(bits);
        EXPECT_EQ(Built(text.c_str()).ByteSize, bits);
    }
    EXPECT_EQ(Built("stop=1").StopBits, ONESTOPBIT);
    EXPECT_EQ(Built("stop=1.5").StopBits, ONE5STOPBITS);
    EXPECT_EQ(Built("stop=2").StopBits, TWOSTOPBITS);
}

TEST(ModeString, StopBitsLeftOutMeanOneOrTwoAt110Baud) {
    EXPECT_EQ(Built("baud=9600").StopBits, ONESTOPBIT);
    EXPECT_EQ(Built("baud=110").StopBits, TWOSTOPBITS);
    EXPECT_EQ(Built("baud=110 stop=1").StopBits, ONESTOPBIT);
}

TEST(ModeString, TwoDigitBaudRatesAreTheModeCommandsShortForms) {
    EXPECT_EQ(Built("baud=96").BaudRate, 9600u);
    EXPECT_EQ(Built("baud=19").BaudRate, 19200u);
    EXPECT_EQ(Built("baud=11").BaudRate, 110u);
    EXPECT_EQ(Built("baud=115200").BaudRate, 115200u);
}

TEST(ModeString, FlowControlKeys) {
    DCB dcb = Built("xon=off odsr=off octs=off dtr=off rts=off idsr=off to=on");
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);

    std::memset(&dcb, 0, sizeof dcb);
    ASSERT_TRUE(BuildCommDCBA("XON=ON ODSR=on OCTS=On DTR=HS RTS=tg IDSR=on TO=off", &dcb));
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);

    EXPECT_EQ(Built("dtr=on rts=hs").fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(Built("dtr=on rts=hs").fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(Built("rts=on").fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST(ModeString, PositionalFormSetsLineAndFlowControl) {
    DCB dcb = Built("9600,n,8,1");
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX + dcb.fInX + dcb.fOutxCtsFlow + dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.XonLim, 77) << "fields the text does not touch stay";

    dcb = Built("COM1:19200,E,7,2");
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);

    dcb = Built("com3: 96 , o , 5 , 1.5 , x");
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.fOutX + dcb.fInX, 2u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);

    dcb = Built("1200,s,8,1,P");
    EXPECT_EQ(dcb.fOutxCtsFlow + dcb.fOutxDsrFlow, 2u);
    EXPECT_EQ(dcb.fOutX + dcb.fInX, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
}

TEST(ModeString, EmptyTextOrThePrefixAloneKeepsTheSettings) {
    for (const char *text : {"", "   ", "COM1:", "com4", "COM2: "}) {
        const DCB dcb = Built(text);
        EXPECT_TRUE(Same(dcb, Marked())) << '"' << text << '"';
    }
}

TEST(ModeString, RefusesWhatItCannotReadAndLeavesTheDcbAlone) {
    for (const char *text : {
             "baud=",
             "baud=96x",
             "baud=-9600",
             "baud=99999999999",
             "parity=x",
             "parity=ev",
             "parity=",
             "data=4",
             "data=9",
             "data=7.5",
             "stop=3",
             "stop=1.",
             "stop=0",
             "xon=yes",
             "to=1",
             "odsr=hs",
             "octs=tg",
             "idsr=hs",
             "dtr=tg",
             "rts=maybe",
             "speed=9600",
             "=9600",
             "baud=9600,parity=n",
             "baud=9600 data=8 COM3",
             "baud=9600\tdata=8",
             "baud = 9600",
             "COM1:baud=9600 junk",
             "9600,n,8",
             "9600,n,8,1,z",
             "9600,n,8,1 junk",
             "9600;n;8;1",
             "9600 n 8 1",
             "9600,,8,1",
             "garbage",
             "COM:baud=9600",
             "COMX:9600,n,8,1",
         }) {
        DCB dcb = Marked();
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb)) << text;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << text;
        EXPECT_TRUE(Same(dcb, Marked())) << text;
    }
    DCB dcb = Marked();
    EXPECT_FALSE(BuildCommDCBA(nullptr, &dcb));
    EXPECT_FALSE(BuildCommDCBA("baud=9600", nullptr));
}

}  // namespace
