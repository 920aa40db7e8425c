// Serial communication devices: the Win32 subset the port uses, over termios.
//
// COMn (n from 1) names the device that the link "<executable>.comn" beside the
// executable points to, or /dev/ttyS<n-1> when there is no such link. A port
// is opened exclusively (TIOCEXCL and an exclusive flock); a second opener
// gets EBUSY. The last error is errno, so a missing device reports 2.
//
// Differences from Windows that the hardware forces:
// - 1.5 stop bits are set as two (the UART gives 1.5 only with 5 data bits);
// - DSR flow control and DSR sensitivity have no termios counterpart and are
//   accepted but not enforced; the DTR handshake and RTS toggle modes raise
//   the line instead;
// - only the baud rates termios knows are accepted (SetCommState fails with
//   ERROR_INVALID_PARAMETER otherwise).
#pragma once

#include "platform/errors.h"
#include "platform/win_types.h"

using LPDWORD = DWORD *;
using LPCVOID = const void *;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED *;

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define OPEN_EXISTING 3
#define MAXDWORD 0xFFFFFFFFUL

#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02

#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

// Same layout as the Windows record (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB keeps the Windows layout");
using LPDCB = DCB *;

// All in milliseconds, with the Windows meaning. A read ends when the count
// has arrived, when ReadTotalTimeoutMultiplier * count +
// ReadTotalTimeoutConstant have passed since it began (both 0: no limit), or
// when ReadIntervalTimeout passed after a byte with no next one (0: no limit;
// the interval runs from the first byte on and restarts with each). Interval
// MAXDWORD with both totals 0 returns at once with what is there; interval
// and multiplier MAXDWORD with a constant from 1 to MAXDWORD - 1 return as
// soon as anything is there, waiting at most the constant. A write ends after
// WriteTotalTimeoutMultiplier * count + WriteTotalTimeoutConstant (both 0: no
// limit). The products never wrap; a limit beyond what the clock can reach is
// no limit. An expired time-out is not a failure: the call succeeds with the
// bytes transferred. A fresh handle has all five set to 0.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS *;

// Only OPEN_EXISTING with GENERIC_READ | GENERIC_WRITE, no sharing, is
// supported; a name other than COMn or \\.\COMn is opened as a path.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);

BOOL GetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL PurgeComm(HANDLE handle, DWORD flags);

// Synchronous only: overlapped must be null.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD received, LPOVERLAPPED overlapped);

// True for an error of PurgeComm, WriteFile or ReadFile that says the device
// itself is gone or unusable (an unplugged adapter, a hung-up line: EIO,
// ENXIO, ENODEV), so that only closing the handle and opening anew can help.
BOOL IsSerialDeviceLost(DWORD error);

// Applies a mode-command text to dcb: an optional "COMn:" prefix, then either
// blank-separated keys (baud= parity= data= stop= to= xon= odsr= octs= dtr=
// rts= idsr=, names and values in any letter case) or the positional form
// "baud,parity,data,stop[,x|p]". Only what the text names changes, except
// that the key form without stop= sets one stop bit (two at baud=110), and
// the positional form sets the flow control (none, x: XON/XOFF, p: hardware).
// An empty text, or the prefix alone, changes nothing. A text it cannot read
// leaves dcb as it was, returns FALSE and sets ERROR_INVALID_PARAMETER.
BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb);
