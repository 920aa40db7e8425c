#include "ModbusAscii.h"

#include "CError.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsFrameDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void PutHex(char *out, std::uint8_t value) {
    out[0] = kHexDigits[value >> 4];
    out[1] = kHexDigits[value & 0x0F];
}

std::uint8_t ByteSum(const std::uint8_t *bytes, unsigned length) {
    std::uint8_t sum = 0;
    for (unsigned i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

}  // namespace

unsigned ModbusAscii::EncodeReadRequest(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count,
                                        std::uint8_t *out, unsigned outCapacity) {
    if (outCapacity < kRequestLength) ThrowError(L"buffer too small");
    out[0] = deviceAddr;
    out[1] = kReadHoldingRegisters;
    out[2] = static_cast<std::uint8_t>(startAddr >> 8);
    out[3] = static_cast<std::uint8_t>(startAddr);
    out[4] = static_cast<std::uint8_t>(count >> 8);
    out[5] = static_cast<std::uint8_t>(count);
    return kRequestLength;
}

char *ModbusAscii::EncodeFrame(const std::uint8_t *message, char *out, unsigned length, unsigned outCapacity) {
    // Computed wide so that no length can wrap the capacity test.
    const unsigned long long needed = 2ULL * length + 6;
    if (outCapacity < needed) ThrowError(L"output buffer too small");
    char *p = out;
    *p++ = ':';
    for (unsigned i = 0; i < length; ++i, p += 2) PutHex(p, message[i]);
    // The two's complement of the byte sum: message and LRC add up to 0.
    PutHex(p, static_cast<std::uint8_t>(-ByteSum(message, length)));
    p += 2;
    *p++ = '\r';
    *p++ = '\n';
    *p = '\0';
    return out;
}

unsigned ModbusAscii::digchar(char character) {
    if (character >= '0' && character <= '9') return static_cast<unsigned>(character - '0');
    if (character >= 'A' && character <= 'F') return static_cast<unsigned>(character - 'A' + 10);
    ThrowError(L"digchar argument error");
}

unsigned ModbusAscii::DecodeFrame(const char *text, std::uint8_t *binaryBuffer, unsigned bufferCapacity) {
    if (text == nullptr || text[0] != ':') return 0;
    const char *run = text + 1;
    unsigned digits = 0;
    while (IsFrameDigit(run[digits])) ++digits;
    if (digits < 2) return 0;

    const unsigned bytes = digits / 2;
    for (unsigned k = 0; k < bytes; ++k) {
        if (k >= bufferCapacity) ThrowError(L"binaryBuffer too small");
        binaryBuffer[k] = static_cast<std::uint8_t>(digchar(run[2 * k]) * 16 + digchar(run[2 * k + 1]));
    }
    return bytes;
}

bool ModbusAscii::CheckLrc(const std::uint8_t *bytes, unsigned length) {
    return length > 0 && ByteSum(bytes, length) == 0;
}

int ModbusAscii::ParseReadResponse(const std::uint8_t *bytes, unsigned length, std::uint16_t *regs, int regsCapacity) {
    if (length < 3) return 0;
    if (bytes[1] != kReadHoldingRegisters) return 0;
    const unsigned byteCount = bytes[2];
    if (byteCount % 2 != 0) return 0;
    if (length < byteCount + 3) return 0;

    const int registers = static_cast<int>(byteCount / 2);
    for (int i = 0; i < registers; ++i) {
        if (i >= regsCapacity) ThrowError(L"regs too small");
        regs[i] = static_cast<std::uint16_t>(bytes[3 + 2 * i] << 8 | bytes[4 + 2 * i]);
    }
    return registers;
}

bool ModbusAscii::AnswersRequest(const std::uint8_t *request, const std::uint8_t *answer, unsigned length) {
    const unsigned count = static_cast<unsigned>(request[4]) << 8 | request[5];
    const unsigned long long dataBytes = 2ULL * count;
    // Address, function, byte count, the data, the LRC.
    if (length != 3 + dataBytes + 1) return false;
    return answer[0] == request[0] && answer[1] == request[1] && answer[2] == dataBytes;
}
