#include "RegisterBank.h"

#include <cmath>

std::uint16_t RegisterBank::Value(int device, unsigned address, double seconds) {
    const long base = static_cast<long>(device) * 1000 + static_cast<long>(address);
    long value = 0;
    if (address % 2 == 0) {
        const double period = 20.0 + address % 40;
        const double pi = std::acos(-1.0);
        value = base + std::lround(100.0 * std::sin(2.0 * pi * seconds / period));
    } else {
        value = base + static_cast<long>(std::floor(seconds));
    }
    return static_cast<std::uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu);
}
