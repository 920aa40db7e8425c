// The simulated holding registers: one table per device address, whose
// values are a function of the time since the instrument started, so that a
// running demo shows live data.
#pragma once

#include <cstdint>

class RegisterBank {
public:
    explicit RegisterBank(unsigned registers) : registers_(registers) {}

    unsigned Size() const { return registers_; }

    // Even registers swing +-100 around device*1000 + address with a period of
    // 20 to 59 s; odd registers count whole seconds up from the same base.
    // Both wrap as 16-bit patterns.
    static std::uint16_t Value(int device, unsigned address, double seconds);

private:
    unsigned registers_;
};
