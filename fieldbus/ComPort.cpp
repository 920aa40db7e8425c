#include "ComPort.h"

#include <cctype>
#include <cstring>

#include "CError.h"
#include "platform/errors.h"

namespace {
const wchar_t kBadModeString[] = L"bad mode string";
const wchar_t kOnlyCom1To9[] = L"only COM1 to COM9 are supported";

DCB EmptyDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return dcb;
}
}  // namespace

ComPort::ComPort()
    : modeString{},
      readTimeoutMs(kDefaultTimeoutMs),
      writeTimeoutMs(kDefaultTimeoutMs),
      timeouts{},
      portIndex(0),
      handle(INVALID_HANDLE_VALUE) {}

ComPort::~ComPort() {
    Close();
}

void ComPort::SetModeString(const char *text) {
    if (text == nullptr) text = "";
    const std::size_t length = strnlen(text, kModeStringCapacity);
    if (length >= kModeStringCapacity) ThrowError(kBadModeString);
    std::memcpy(modeString, text, length + 1);

    char upper[kModeStringCapacity];
    for (std::size_t i = 0; i <= length; ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    const char *com = std::strstr(upper, "COM");
    if (com == nullptr) ThrowError(L"com number not specified. Use syntax:\nCOM1:baud=9600 stop=1 parity=N data=8");

    const char digit = com[3];
    // A second digit would name COM10 or above; taking only the first would
    // silently select another port.
    if (digit < '1' || digit > '9' || std::isdigit(static_cast<unsigned char>(com[4]))) ThrowError(kOnlyCom1To9);
    SetPortNumber(digit - '1');
}

void ComPort::SetPortNumber(int index) {
    if (index < 0 || index >= kPortCount) ThrowError(kOnlyCom1To9);
    if (IsOpen()) ThrowError(L"Port is not closed");
    portIndex = index;
}

void ComPort::Open() {
    wchar_t name[kDeviceNameCapacity] = L"COM";
    name[3] = static_cast<wchar_t>(L'1' + portIndex);
    name[4] = L'\0';

    const HANDLE opened = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE) ThrowLastError(L"CreateFile failed with error %d.\n");
    handle = opened;
    // A handle left open without time-outs would let the next read block for
    // good: a port that cannot be configured is closed again.
    try {
        Configure();
    } catch (...) {
        Close();
        throw;
    }
}

void ComPort::Configure() {
    DCB dcb = EmptyDcb();
    // Without the current settings the mode string applies on top of zeros.
    GetCommState(handle, &dcb);

    if (!BuildCommDCBA(modeString, &dcb)) ThrowLastError(kBadModeString);
    if (!SetCommState(handle, &dcb)) ThrowLastError(L"SetCommState failed with error %d.\n");

    DCB scratch = EmptyDcb();
    if (!GetCommState(handle, &scratch)) ThrowLastError(L"GetCommState failed with error %d.\n");

    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = ReadTimeoutFor(dcb, readTimeoutMs);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
    if (!SetCommTimeouts(handle, &timeouts)) ThrowLastError(L"SetCommTimeouts failed with error %d.\n");
}

std::uint32_t ComPort::ReadTimeoutFor(const DCB &dcb, std::uint32_t shortestMs) {
    if (dcb.BaudRate == 0) return shortestMs;
    // In half bits, for 1.5 stop bits: start, data, parity, stop.
    const unsigned parityBits = dcb.Parity == NOPARITY ? 0 : 1;
    const unsigned stopHalfBits = dcb.StopBits == ONE5STOPBITS ? 3 : dcb.StopBits == TWOSTOPBITS ? 4 : 2;
    const std::uint64_t halfBits = 2 * (1 + std::uint64_t{dcb.ByteSize} + parityBits) + stopHalfBits;
    const std::uint64_t halfBitsPerSecond = 2 * std::uint64_t{dcb.BaudRate};
    const std::uint64_t lineMs = (kLongestAnswerChars * halfBits * 1000 + halfBitsPerSecond - 1) / halfBitsPerSecond;
    const std::uint64_t needed = lineMs + kAnswerMarginMs;
    return needed > shortestMs ? static_cast<std::uint32_t>(needed) : shortestMs;
}

void ComPort::PurgeInput() {
    if (!PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR)) FailOnLine(L"PurgeInput failed with error %d.\n");
}

void ComPort::Write(const void *bytes, DWORD count) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr)) FailOnLine(L"WriteFile failed with error %d.\n");
    if (written < count) ThrowError(L"WriteFile failed. Incomplete write.");
}

DWORD ComPort::Read(void *buffer, DWORD count) {
    DWORD received = 0;
    if (!ReadFile(handle, buffer, count, &received, nullptr)) FailOnLine(L"ReadFile failed with error %d.\n");
    return received;
}

void ComPort::FailOnLine(const wchar_t *format) {
    const DWORD error = GetLastError();
    // An unplugged adapter never comes back under the old handle: closed,
    // the port is opened afresh by the next transaction once it is back.
    if (IsSerialDeviceLost(error)) Close();
    SetLastError(error);
    ThrowLastError(format);
}

void ComPort::Close() {
    if (!IsOpen()) return;
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}
