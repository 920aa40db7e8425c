#include "ModbusClient.h"

#include <cstring>

#include "CError.h"
#include "platform/clock.h"

static_assert(ModbusClient::kMaxRegisters == 61, "61 registers fit one transaction");
static_assert(ComPort::kLongestAnswerChars == ModbusClient::kMaxRegisters * 4 + 11,
              "the port's read time-out leaves room for the largest answer and its CR LF");

bool ModbusClient::ReadHoldingRegisters(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count,
                                        std::uint16_t *regs) {
    std::uint8_t request[kBufferSize];
    char frame[kBufferSize];
    char received[kBufferSize];
    std::uint8_t decoded[kBufferSize];

    const unsigned requestLength = codec.EncodeReadRequest(deviceAddr, startAddr, count, request, kBufferSize);
    codec.EncodeFrame(request, frame, requestLength, kBufferSize);

    if (!port.IsOpen()) port.Open();
    Sleep(kTurnaroundMs);
    // Drops the CR LF of the previous answer, which is never read, and any
    // answer that came too late for its transaction.
    port.PurgeInput();
    port.Write(frame, static_cast<DWORD>(std::strlen(frame)));

    // ":", address, function, byte count, 4 per register, LRC; the CR LF
    // that follow are left to the next purge.
    const unsigned answerLength = count * 4u + 9;
    if (answerLength > kBufferSize) ThrowError(L"too many registers requested");

    // What does not arrive stays zero, which ends the decoding inside the buffer.
    std::memset(received, 0, sizeof received);
    port.Read(received, answerLength);

    const unsigned length = codec.DecodeFrame(received, decoded, kBufferSize);
    if (!codec.CheckLrc(decoded, length)) return false;
    // A late answer of another device must not pass for this one's.
    if (!codec.AnswersRequest(request, decoded, length)) return false;
    return codec.ParseReadResponse(decoded, length, regs, count) == count;
}
