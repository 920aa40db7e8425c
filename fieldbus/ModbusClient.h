// One Modbus ASCII transaction: read a run of holding registers from one
// device over the serial port.
#pragma once

#include <cstdint>

#include "ComPort.h"
#include "ModbusAscii.h"

class ModbusClient {
public:
    // Every transaction works in four local buffers of this size.
    static constexpr unsigned kBufferSize = 256;
    // Pause before each request, so that a device that has just answered
    // is listening again.
    static constexpr DWORD kTurnaroundMs = 20;
    // An answer of count * 4 + 9 characters must leave room in the receive
    // buffer for the zeros that end the decoding: 61 registers at most.
    static constexpr unsigned kMaxRegisters = (kBufferSize - 9) / 4;

    // Neither is owned; both must outlive the client.
    ModbusClient(ComPort &port, ModbusAscii &codec) : port(port), codec(codec) {}
    ModbusClient(const ModbusClient &) = delete;
    ModbusClient &operator=(const ModbusClient &) = delete;

    // True when exactly count registers arrived and are stored in regs[0] to
    // regs[count - 1]; false for a missing or unusable answer (regs may then
    // hold part of it). Opens the port when it is closed; port failures and
    // "too many registers requested" (after the request went out) throw CError.
    bool ReadHoldingRegisters(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count,
                              std::uint16_t *regs);

private:
    ComPort &port;
    ModbusAscii &codec;
};
