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

ReadOutcome ModbusLink::Read(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count,
                             std::uint16_t *regs) {
    ReadOutcome outcome = ReadOutcome::kDeviceFailed;
    try {
        if (client->ReadHoldingRegisters(deviceAddr, startAddr, count, regs)) outcome = ReadOutcome::kGood;
    } catch (const CError &error) {
        std::puts(error.narrowMessage);
        outcome = ReadOutcome::kLinkFailed;
    }
    if (outcome == ReadOutcome::kGood) {
        std::printf("+");
    } else if (!errorBannerShown) {
        errorBannerShown = true;
        std::printf("\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n");
    } else {
        std::printf("-");
    }
    // A terminal buffers up to the line end: the row of signs must show as it grows.
    std::fflush(stdout);
    return outcome;
}
