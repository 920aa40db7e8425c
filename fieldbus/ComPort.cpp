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
    timeouts.ReadTotalTimeoutConstant = readTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
    if (!SetCommTimeouts(handle, &timeouts)) ThrowLastError(L"SetCommTimeouts failed with error %d.\n");
}

void ComPort::PurgeInput() {
    if (!PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR)) ThrowLastError(L"PurgeInput");
}

void ComPort::Write(const void *bytes, DWORD count) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr)) ThrowLastError(L"WriteFile failed with error %d.\n");
    if (written < count) ThrowError(L"WriteFile failed. Incomplete write.");
}

DWORD ComPort::Read(void *buffer, DWORD count) {
    DWORD received = 0;
    if (!ReadFile(handle, buffer, count, &received, nullptr)) ThrowLastError(L"ReadFile failed with error %d.\n");
    return received;
}

void ComPort::Close() {
    if (!IsOpen()) return;
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}
