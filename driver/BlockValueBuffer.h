// The values of the last block read, as the VARIANTs that go to the cache.
#pragma once

#include <cstdint>

#include "platform/variant.h"

class BlockValueBuffer {
public:
    // One answer holds at most 61 registers; the buffer has room to spare.
    static constexpr std::uint16_t kEntries = 256;

    VARIANT buffer[kEntries];
    // Whether the last read succeeded.
    bool valid = false;

    BlockValueBuffer();
    ~BlockValueBuffer();
    BlockValueBuffer(const BlockValueBuffer &) = delete;
    BlockValueBuffer &operator=(const BlockValueBuffer &) = delete;

    // Entries 0 to count - 1 become VT_I2 holding the registers' 16 bits as
    // signed numbers; later entries keep what they held. Throws "BlockValueBuffer.buffer
    // too small" for more than kEntries, changing nothing.
    void Store(const std::uint16_t *values, std::uint16_t count);
};
