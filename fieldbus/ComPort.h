// The one serial port over which the server talks to its instruments: its mode
// string, the port number taken from it, and the synchronous, time-bounded I/O
// a Modbus transaction needs. Every failure is thrown as CError.
#pragma once

#include <cstdint>

#include "platform/serial.h"

class ComPort {
public:
    static constexpr unsigned kModeStringCapacity = 256;
    static constexpr std::uint32_t kDefaultTimeoutMs = 500;
    static constexpr int kPortCount = 9;  // COM1 to COM9
    static constexpr unsigned kDeviceNameCapacity = 10;
    // The answer to the largest register read (61 registers), CR LF included,
    // and what a device may take to start it: below about 9600 baud the read
    // time-out grows so that this answer can arrive.
    static constexpr unsigned kLongestAnswerChars = 61 * 4 + 11;
    static constexpr std::uint32_t kAnswerMarginMs = 100;

    ComPort();
    ~ComPort();
    ComPort(const ComPort &) = delete;
    ComPort &operator=(const ComPort &) = delete;

    // Stores text as the mode string (kept even when the port number in it is
    // refused), then selects the port that "COMn" in it names. Throws "bad
    // mode string" for 256 characters or more (nothing stored then), the
    // syntax hint when there is no "COM", "only COM1 to COM9 are supported",
    // or "Port is not closed".
    void SetModeString(const char *text);
    // index 0 is COM1. Throws "only COM1 to COM9 are supported" outside 0..8,
    // then "Port is not closed" while open.
    void SetPortNumber(int index);

    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
    // Opens and configures the device; call it only while closed. A failure
    // to configure closes the port again before it propagates.
    void Open();
    void Configure();
    // PurgeInput, Write and Read throw the system's error number; when it says
    // that the device is gone (unplugged, hung up) they close the port first,
    // so that the next transaction opens it afresh.
    // Discards what was received and not yet read.
    void PurgeInput();
    // Throws "WriteFile failed. Incomplete write." when the write time-out cut
    // the write short.
    void Write(const void *bytes, DWORD count);
    // Returns what arrived within the read time-out: count or fewer, maybe 0.
    DWORD Read(void *buffer, DWORD count);
    // Does nothing when closed.
    void Close();

    // The read time-out for a line with these settings: the line time of the
    // longest answer plus the margin, or shortestMs when that is longer.
    static std::uint32_t ReadTimeoutFor(const DCB &dcb, std::uint32_t shortestMs);

    const char *ModeString() const { return modeString; }
    // The time-outs last applied to the open port.
    const COMMTIMEOUTS &Timeouts() const { return timeouts; }
    int PortIndex() const { return portIndex; }

private:
    [[noreturn]] void FailOnLine(const wchar_t *format);

    char modeString[kModeStringCapacity];
    std::uint32_t readTimeoutMs;
    std::uint32_t writeTimeoutMs;
    COMMTIMEOUTS timeouts;
    std::int32_t portIndex;
    HANDLE handle;
};
