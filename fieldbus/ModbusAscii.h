// The Modbus ASCII codec for holding-register reads (function 3): the request
// message, its ASCII frame with the LRC, and the decoding and parsing of the
// answer. Stateless; every operation works on buffers the caller provides and
// allocates nothing. An output that is too small throws CError; malformed
// input gives 0 or false.
#pragma once

#include <cstdint>

class ModbusAscii {
public:
    static constexpr std::uint8_t kReadHoldingRegisters = 3;
    static constexpr unsigned kRequestLength = 6;

    // Writes the 6-byte request message; throws "buffer too small" when
    // outCapacity is below 6 (nothing is written then).
    static unsigned EncodeReadRequest(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count,
                                      std::uint8_t *out, unsigned outCapacity);

    // Writes ":", the message and its LRC in upper-case hex, CR, LF and a
    // terminating zero: 2 * length + 6 bytes, or "output buffer too small"
    // and nothing written.
    static char *EncodeFrame(const std::uint8_t *message, char *out, unsigned length, unsigned outCapacity);

    // Decodes the run of hex digits after the leading ":" of a zero-terminated
    // text, pairwise; the run ends at the first character that is not 0-9 or
    // A-F. Returns the bytes written (the LRC is the last), 0 for a text
    // without the colon or a run of fewer than two digits.
    static unsigned DecodeFrame(const char *text, std::uint8_t *binaryBuffer, unsigned bufferCapacity);

    // The value of one hex digit 0-9, A-F; anything else throws.
    static unsigned digchar(char character);

    // True when the bytes, LRC included, add up to 0 modulo 256; false for none.
    static bool CheckLrc(const std::uint8_t *bytes, unsigned length);

    // The registers of a function-3 response, high byte first; 0 for a
    // message that is not one. The device address and the LRC are not looked
    // at. Throws "regs too small" when the response holds more registers than
    // regsCapacity (those before stay stored).
    static int ParseReadResponse(const std::uint8_t *bytes, unsigned length, std::uint16_t *regs, int regsCapacity);

    // True when the decoded answer (LRC included, as its last byte) is the
    // normal response to the 6-byte request: same device address and function
    // code, a byte count of exactly twice the registers asked, and nothing
    // between the data and the LRC. The bus carries no transaction number,
    // so a late answer of the same device to a request of the same size
    // passes all the same.
    static bool AnswersRequest(const std::uint8_t *request, const std::uint8_t *answer, unsigned length);
};
