#include "ModbusLink.h"

#include <cstdio>

#include "CError.h"

namespace {
// Set by the first failed read of the process and never cleared.
bool errorBannerShown = false;
}  // namespace

ModbusLink::ModbusLink() {
    codec.emplace();
    client.emplace(port, *codec);
}

ModbusLink::~ModbusLink() {
    port.Close();
    client.reset();
    codec.reset();
    port.Close();
}

bool ModbusLink::ReadRegisters(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count,
                               std::uint16_t *regs) {
    bool ok = false;
    try {
        ok = client->ReadHoldingRegisters(deviceAddr, startAddr, count, regs);
    } catch (const CError &error) {
        std::puts(error.narrowMessage);
    }
    if (ok) {
        std::printf("+");
    } else if (!errorBannerShown) {
        errorBannerShown = true;
        std::printf("\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n");
    } else {
        std::printf("-");
    }
    // A terminal buffers up to the line end: the row of signs must show as it grows.
    std::fflush(stdout);
    return ok;
}
