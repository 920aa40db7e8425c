// The Linux mode-command builder, and the terminal line the DCB it builds
// becomes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/serial.h"
#include "serial_settings.h"

namespace {

// Every field holds a value no mode string sets, so that changes and
// non-changes both show.
DCB Marked() {
    DCB dcb{};
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

TEST(ModeString, KeysAndPositionalFormsInAnyLetterCase) {
    const struct {
        const char *text;
        DWORD baud;
        int parity, size, stop, xon, octs, odsr, dtr, rts;
    } rows[] = {
        // Flow control is off unless the text turns it on.
        {"COM1:baud=9600 stop=1 parity=N data=8", 9600, NOPARITY, 8, ONESTOPBIT, 0, 0, 0, 2, 3},
        {"xon=on odsr=on octs=on dtr=on rts=hs idsr=on to=on", 1234, MARKPARITY, 6, ONESTOPBIT, 1, 1, 1, 1, 2},
        {"com3: 96 , o , 5 , 1.5 , x", 9600, ODDPARITY, 5, ONE5STOPBITS, 1, 0, 0, 1, 1},
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

TEST(ModeString, AnEmptyTextChangesNothingAndARefusalNothingEither) {
    const DCB marked = Marked();
    for (const char *text : {"", "baud=96x", "9600,n,8", "garbage"}) {
        DCB dcb = marked;
        EXPECT_EQ(BuildCommDCBA(text, &dcb), *text == '\0') << text;
        if (*text != '\0') {
            EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << text;
        }
        EXPECT_EQ(std::memcmp(&dcb, &marked, sizeof dcb), 0) << text << ": changed";
    }
}

TEST(SerialSettings, TheTerminalTakesTheLineRawOrRefusesARateItDoesNotKnow) {
    DCB dcb = Marked();
    ASSERT_TRUE(BuildCommDCBA("9600,e,7,1", &dcb));
    termios t{};
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST;
    t.c_lflag = ICANON | ECHO | ISIG;
    serial_settings::Lines lines{};
    ASSERT_TRUE(serial_settings::ToTermios(dcb, &t, &lines));
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    errno = 0;
    EXPECT_FALSE(serial_settings::ToTermios(Marked(), &t, &lines));
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
