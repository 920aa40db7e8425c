#include "serial_settings.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

#include "serial_handles.h"

namespace serial_settings {
namespace {

struct Speed {
    DWORD baud;
    speed_t code;
};

const Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(DWORD baud, speed_t *code) {
    for (const Speed &speed : kSpeeds) {
        if (speed.baud == baud) {
            *code = speed.code;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t code) {
    for (const Speed &speed : kSpeeds) {
        if (speed.code == code) return speed.baud;
    }
    return 0;
}

bool Refuse() {
    errno = EINVAL;
    return false;
}

}  // namespace

bool ToTermios(const DCB &dcb, termios *settings, Lines *lines) {
    speed_t speed = B0;
    if (!SpeedCode(dcb.BaudRate, &speed)) return Refuse();
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) {
        return Refuse();
    }
    const bool softwareFlow = dcb.fOutX || dcb.fInX;
    if (softwareFlow && dcb.XonChar == dcb.XoffChar) return Refuse();

    termios &t = *settings;
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK |
                           IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;

    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.fParity && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
    // Two stop bits stand in for 1.5 as well.
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;

    const bool rtsHandshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (dcb.fOutxCtsFlow || rtsHandshake) t.c_cflag |= CRTSCTS;
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    if (softwareFlow) {
        t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);

    lines->dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    lines->rts = dcb.fRtsControl != RTS_CONTROL_DISABLE;
    lines->rtsByHandshake = rtsHandshake;
    return true;
}

void FromTermios(const termios &t, int modemBits, DCB *dcb) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = BaudOf(cfgetospeed(&t));
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) != 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb->fOutX = (t.c_iflag & IXON) != 0;
    dcb->fInX = (t.c_iflag & IXOFF) != 0;
    dcb->fDtrControl = modemBits < 0 || (modemBits & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if ((t.c_cflag & CRTSCTS) != 0) {
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb->fRtsControl = modemBits < 0 || (modemBits & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }

    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
            break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        dcb->Parity = NOPARITY;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        dcb->Parity = (t.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    } else {
        dcb->Parity = (t.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    dcb->StopBits = (t.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

}  // namespace serial_settings

namespace {

// The slave side of a Unix 98 pseudo-terminal: character majors 136 to 143.
bool IsPseudoTerminal(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    const unsigned int major = major(status.st_rdev);
    return major >= 136 && major <= 143;
}

// The descriptor of an open port, for a call that also needs a DCB.
bool FindWithDcb(HANDLE handle, const DCB *dcb, int *fd) {
    if (!serial_handles::Find(handle, fd, nullptr)) return false;
    if (dcb == nullptr) {
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    int fd = -1;
    termios settings;
    if (!FindWithDcb(handle, dcb, &fd)) return FALSE;
    if (tcgetattr(fd, &settings) != 0) return FALSE;
    int modemBits = 0;
    if (ioctl(fd, TIOCMGET, &modemBits) != 0) modemBits = -1;
    serial_settings::FromTermios(settings, modemBits, dcb);
    return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    int fd = -1;
    termios settings;
    serial_settings::Lines lines{};
    if (!FindWithDcb(handle, dcb, &fd)) return FALSE;
    if (tcgetattr(fd, &settings) != 0 || !serial_settings::ToTermios(*dcb, &settings, &lines)) return FALSE;
    // The C library reports a data size or parity the terminal did not take.
    // A pseudo-terminal never takes them, and need not: there is no line.
    if (tcsetattr(fd, TCSANOW, &settings) != 0 && !(errno == EINVAL && IsPseudoTerminal(fd))) return FALSE;

    // Devices without modem lines refuse these; nothing to set there.
    int dtr = TIOCM_DTR;
    ioctl(fd, lines.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
    if (!lines.rtsByHandshake) {
        int rts = TIOCM_RTS;
        ioctl(fd, lines.rts ? TIOCMBIS : TIOCMBIC, &rts);
    }
    return TRUE;
}
