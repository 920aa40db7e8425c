// The translation between a DCB and the terminal settings, without a device.
#pragma once

#include <termios.h>

#include "platform/serial.h"

namespace serial_settings {

// The modem lines a DCB asks for; the terminal settings cannot hold them.
struct Lines {
    bool dtr;
    bool rts;
    bool rtsByHandshake;
};

// Makes settings the raw line the DCB describes; false with EINVAL for a baud
// rate termios does not know, data bits outside 5..8, an unknown parity or
// stop-bit code, or XON/XOFF flow with equal XON and XOFF characters.
bool ToTermios(const DCB &dcb, termios *settings, Lines *lines);
// modemBits is the TIOCMGET result, or -1 when the device has no modem lines.
void FromTermios(const termios &settings, int modemBits, DCB *dcb);

}  // namespace serial_settings
