#include "BlockValueBuffer.h"

#include "CError.h"

BlockValueBuffer::BlockValueBuffer() {
    for (VARIANT &value : buffer) VariantInit(&value);
}

BlockValueBuffer::~BlockValueBuffer() {
    for (VARIANT &value : buffer) VariantClear(&value);
}

void BlockValueBuffer::Store(const std::uint16_t *values, std::uint16_t count) {
    if (count > kEntries) ThrowError(L"BlockValueBuffer.buffer too small");
    for (std::uint16_t k = 0; k < count; ++k) {
        VariantClear(&buffer[k]);
        VariantInit(&buffer[k]);
        V_VT(&buffer[k]) = VT_I2;
        V_I2(&buffer[k]) = static_cast<SHORT>(values[k]);
    }
    valid = true;
}
