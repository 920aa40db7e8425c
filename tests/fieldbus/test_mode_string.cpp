// The Linux mode-command builder, and the terminal line the DCB it builds
// becomes.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/serial.h"
#include "serial_settings.h"

namespace {

// Every field holds a value no mode string sets, so that changes and
// non-changes both show.
DCB Marked() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1234;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.ByteSize = 6;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

bool Unchanged(const DCB &dcb) {
    const DCB marked = Marked();
    return std::memcmp(&dcb, &marked, sizeof dcb) == 0;
}

TEST(ModeString, KeysAndPositionalFormsInAnyLetterCase) {
    const struct {
        const char *text;
        DWORD baud;
        int parity, size, stop, xon, octs, odsr, dtr, rts;
    } rows[] = {
        // Flow control is off unless the text turns it on.
        {"COM1:baud=9600 stop=1 parity=N data=8", 9600, NOPARITY, 8, ONESTOPBIT, 0, 0, 0, 2, 3},
        {"BAUD=19 PARITY=E DATA=7", 19200, EVENPARITY, 7, ONESTOPBIT, 0, 0, 0, 2, 3},
        {"  COM2:  baud=96  parity=o data=5 stop=1.5 ", 9600, ODDPARITY, 5, ONE5STOPBITS, 0, 0, 0, 2, 3},
        {"baud=110 parity=s", 110, SPACEPARITY, 6, TWOSTOPBITS, 0, 0, 0, 2, 3},
        {"xon=on odsr=on octs=on dtr=on rts=hs idsr=on to=on", 1234, MARKPARITY, 6, ONESTOPBIT, 1, 1, 1, 1, 2},
        {"XON=OFF dtr=off rts=tg to=off", 1234, MARKPARITY, 6, ONESTOPBIT, 0, 0, 0, 0, 3},
        {"dtr=hs rts=off", 1234, MARKPARITY, 6, ONESTOPBIT, 0, 0, 0, 2, 0},
        {"9600,n,8,1", 9600, NOPARITY, 8, ONESTOPBIT, 0, 0, 0, 1, 1},
        {"COM1:19200,E,7,2", 19200, EVENPARITY, 7, TWOSTOPBITS, 0, 0, 0, 1, 1},
        {"com3: 96 , o , 5 , 1.5 , x", 9600, ODDPARITY, 5, ONE5STOPBITS, 1, 0, 0, 1, 1},
        {"1200,s,6,1,P", 1200, SPACEPARITY, 6, ONESTOPBIT, 0, 1, 1, 2, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        DCB dcb = Marked();
        ASSERT_TRUE(BuildCommDCBA(row.text, &dcb));
        EXPECT_EQ(dcb.BaudRate, row.baud);
        EXPECT_EQ(dcb.Parity, row.parity);
        EXPECT_EQ(dcb.ByteSize, row.size);
        EXPECT_EQ(dcb.StopBits, row.stop);
        EXPECT_EQ(dcb.fOutX + dcb.fInX, 2u * row.xon);
        EXPECT_EQ(dcb.fOutxCtsFlow, unsigned(row.octs));
        EXPECT_EQ(dcb.fOutxDsrFlow, unsigned(row.odsr));
        EXPECT_EQ(dcb.fDtrControl, unsigned(row.dtr));
        EXPECT_EQ(dcb.fRtsControl, unsigned(row.rts));
        EXPECT_EQ(dcb.XonChar, 0x11) << "what the text does not name stays";
    }
}

TEST(ModeString, AnEmptyTextOrThePortAloneChangesNothing) {
    for (const char *text : {"", "   ", "COM1:", "com4", "COM2: "}) {
        DCB dcb = Marked();
        EXPECT_TRUE(BuildCommDCBA(text, &dcb)) << '"' << text << '"';
        EXPECT_TRUE(Unchanged(dcb)) << '"' << text << '"';
    }
}

TEST(ModeString, RefusesWhatItCannotReadAndChangesNothing) {
    for (const char *text : {"baud=", "baud=96x", "baud=99999999999", "parity=x", "parity=ev", "data=4", "data=9",
                             "stop=3", "xon=yes", "to=1", "odsr=hs", "dtr=tg", "rts=maybe", "speed=9600",
                             "baud=9600 data=8 COM3", "9600,n,8", "9600,n,8,1,z", "garbage"}) {
        DCB dcb = Marked();
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb)) << text;
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << text;
        EXPECT_TRUE(Unchanged(dcb)) << text;
    }
    DCB dcb = Marked();
    EXPECT_FALSE(BuildCommDCBA(nullptr, &dcb));
    EXPECT_FALSE(BuildCommDCBA("baud=9600", nullptr));
}

TEST(SerialSettings, TheTerminalTakesTheLineRawAndReportsItBack) {
    for (const char *text : {"9600,e,7,1", "115200,n,8,2", "300,m,5,1", "1200,s,6,2", "2400,o,8,1,x", "4800,n,8,1,p"}) {
        SCOPED_TRACE(text);
        DCB dcb = Marked();
        ASSERT_TRUE(BuildCommDCBA(text, &dcb));
        termios t{};
        t.c_iflag = ICRNL | IXON;
        t.c_oflag = OPOST;
        t.c_lflag = ICANON | ECHO | ISIG;
        serial_settings::Lines lines{};
        ASSERT_TRUE(serial_settings::ToTermios(dcb, &t, &lines));
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        DCB back;
        serial_settings::FromTermios(t, TIOCM_DTR | TIOCM_RTS, &back);
        EXPECT_EQ(back.BaudRate, dcb.BaudRate);
        EXPECT_EQ(back.ByteSize, dcb.ByteSize);
        EXPECT_EQ(back.Parity, dcb.Parity);
        EXPECT_EQ(back.StopBits, dcb.StopBits);
        EXPECT_EQ(back.fOutX + back.fInX, dcb.fOutX + dcb.fInX);
        EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
    }
    // A rate termios does not know.
    termios t{};
    serial_settings::Lines lines{};
    errno = 0;
    EXPECT_FALSE(serial_settings::ToTermios(Marked(), &t, &lines));
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
