// The codec's receiving side over arbitrary input: DecodeFrame, CheckLrc,
// ParseReadResponse and AnswersRequest, with buffers of exact size so that the
// sanitizers see any access past them. The first input byte picks the output
// capacities.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "CError.h"
#include "ModbusAscii.h"

namespace {

void DecodeCheckParse(const char *text, unsigned decodedCapacity, int regsCapacity) {
    std::vector<std::uint8_t> decoded(std::max(decodedCapacity, 1u));
    std::vector<std::uint16_t> regs(static_cast<std::size_t>(std::max(regsCapacity, 1)));
    try {
        const unsigned length = ModbusAscii::DecodeFrame(text, decoded.data(), decodedCapacity);
        if (length > decodedCapacity) __builtin_trap();
        ModbusAscii::CheckLrc(decoded.data(), length);
        const int count = ModbusAscii::ParseReadResponse(decoded.data(), length, regs.data(), regsCapacity);
        if (count < 0 || count > std::max(regsCapacity, 0)) __builtin_trap();
    } catch (const CError &) {
        // Buffer limits are reported by throwing; that is the expected outcome.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const unsigned pick = size > 0 ? data[0] : 0;

    // As the transaction sees it: at most 253 characters in 256 zeroed bytes.
    char received[256] = {};
    std::memcpy(received, data, std::min<std::size_t>(size, 253));
    DecodeCheckParse(received, 256, 61);

    // Any text, zero-terminated right after its end, into small outputs.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    DecodeCheckParse(text.data(), pick % 16, static_cast<int>(pick >> 4) - 2);

    // The parser alone over raw bytes of exact length.
    const std::vector<std::uint8_t> raw(data, data + size);
    std::vector<std::uint16_t> regs(128);
    try {
        ModbusAscii::CheckLrc(raw.data(), static_cast<unsigned>(raw.size()));
        ModbusAscii::ParseReadResponse(raw.data(), static_cast<unsigned>(raw.size()), regs.data(),
                                       static_cast<int>(pick % 129));
    } catch (const CError &) {
    }

    // The first 6 bytes as a request, the rest as an answer of exact length.
    if (size >= ModbusAscii::kRequestLength) {
        const std::vector<std::uint8_t> answer(data + ModbusAscii::kRequestLength, data + size);
        ModbusAscii::AnswersRequest(data, answer.data(), static_cast<unsigned>(answer.size()));
    }
    return 0;
}
