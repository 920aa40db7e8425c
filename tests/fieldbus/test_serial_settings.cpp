// The translation between a DCB and the terminal settings.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "serial_settings.h"

namespace {

using serial_settings::FromTermios;
using serial_settings::Lines;
using serial_settings::ToTermios;

DCB Line(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// A terminal as a fresh one starts: cooked, echoing, with flow control.
termios Cooked() {
    termios t;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
    t.c_cflag = CS8 | CREAD | HUPCL | CRTSCTS;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return t;
}

TEST(SerialSettings, SevenEvenOneBecomesARawLine) {
    termios t = Cooked();
    Lines lines{};
    ASSERT_TRUE(ToTermios(Line(9600, 7, EVENPARITY, ONESTOPBIT), &t, &lines));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
    EXPECT_NE(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(lines.dtr);
    EXPECT_TRUE(lines.rts);
    EXPECT_FALSE(lines.rtsByHandshake);
}

TEST(SerialSettings, ParityStopBitsAndFlowControl) {
    termios t = Cooked();
    Lines lines{};
    ASSERT_TRUE(ToTermios(Line(19200, 8, MARKPARITY, TWOSTOPBITS), &t, &lines));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB), tcflag_t(PARENB | PARODD | CMSPAR | CSTOPB));
    ASSERT_TRUE(ToTermios(Line(19200, 8, SPACEPARITY, ONE5STOPBITS), &t, &lines));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB), tcflag_t(PARENB | CMSPAR | CSTOPB));
    ASSERT_TRUE(ToTermios(Line(19200, 5, ODDPARITY, ONESTOPBIT), &t, &lines));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB), tcflag_t(PARENB | PARODD));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS5));

    DCB dcb = Line(4800, 8, EVENPARITY, ONESTOPBIT);
    dcb.fParity = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(ToTermios(dcb, &t, &lines));
    EXPECT_NE(t.c_iflag & INPCK, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_FALSE(lines.dtr);
    EXPECT_TRUE(lines.rtsByHandshake);

    dcb = Line(4800, 8, NOPARITY, ONESTOPBIT);
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(ToTermios(dcb, &t, &lines));
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_FALSE(lines.rts);
}

TEST(SerialSettings, RefusesWhatTheLineCannotDo) {
    DCB bad[6] = {Line(14400, 8, NOPARITY, ONESTOPBIT), Line(9600, 4, NOPARITY, ONESTOPBIT),
                  Line(9600, 9, NOPARITY, ONESTOPBIT),  Line(9600, 8, 5, ONESTOPBIT),
                  Line(9600, 8, NOPARITY, 3),           Line(9600, 8, NOPARITY, ONESTOPBIT)};
    bad[5].fOutX = 1;
    bad[5].XoffChar = bad[5].XonChar;
    for (const DCB &dcb : bad) {
        termios t = Cooked();
        const termios before = t;
        Lines lines{};
        errno = 0;
        EXPECT_FALSE(ToTermios(dcb, &t, &lines));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
    }
}

TEST(SerialSettings, ReadsBackWhatWasSet) {
    const DCB lines[] = {Line(9600, 7, EVENPARITY, ONESTOPBIT), Line(115200, 8, NOPARITY, TWOSTOPBITS),
                         Line(300, 5, MARKPARITY, ONESTOPBIT), Line(1200, 6, SPACEPARITY, TWOSTOPBITS),
                         Line(2400, 8, ODDPARITY, ONESTOPBIT)};
    for (const DCB &line : lines) {
        termios t = Cooked();
        Lines unused{};
        ASSERT_TRUE(ToTermios(line, &t, &unused));
        DCB back;
        FromTermios(t, TIOCM_DTR | TIOCM_RTS, &back);
        EXPECT_EQ(back.DCBlength, sizeof(DCB));
        EXPECT_EQ(back.BaudRate, line.BaudRate);
        EXPECT_EQ(back.ByteSize, line.ByteSize);
        EXPECT_EQ(back.Parity, line.Parity);
        EXPECT_EQ(back.StopBits, line.StopBits);
        EXPECT_EQ(back.fBinary, 1u);
        EXPECT_EQ(back.fOutX + back.fInX + back.fOutxCtsFlow, 0u);
        EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
        EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    }
    DCB back;
    FromTermios(Cooked(), 0, &back);
    EXPECT_EQ(back.BaudRate, 38400u);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
}

}  // namespace
