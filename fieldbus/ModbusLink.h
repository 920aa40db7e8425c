// The process-wide owner of the serial port, the codec and the client, and
// the register read through which the rest of the server talks to its
// instruments, with the "+" / "-" indicator on the console.
#pragma once

#include <cstdint>
#include <optional>

#include "ComPort.h"
#include "ModbusAscii.h"
#include "ModbusClient.h"

// What became of one register read. A device is to blame only when the
// request went out and no usable answer came back; a port that fails, or a
// request the link refuses, is nobody's failure on the line.
enum class ReadOutcome { kGood, kDeviceFailed, kLinkFailed };

class ModbusLink {
public:
    // The port starts closed, with an empty mode string and 500 ms time-outs.
    ModbusLink();
    // Closes the port, then destroys the client before the codec and the
    // port it uses; the port is closed once more (a no-op) before it goes.
    ~ModbusLink();
    ModbusLink(const ModbusLink &) = delete;
    ModbusLink &operator=(const ModbusLink &) = delete;

    // Driver initialisation sets the mode string and proves the port here.
    ComPort &Port() { return port; }

    // Sets the port's mode string from "<executable path>.port.cfg": its
    // characters with every white space but the blank dropped, lines joined
    // with nothing between. A file that cannot be opened changes nothing.
    // The port's refusals propagate as CError.
    void ReadPortConfig();
    void ReadPortConfigFrom(const wchar_t *path);

    // ModbusClient::ReadHoldingRegisters with every CError caught: its text
    // is printed on a line of its own. Prints "+" for a good read; for a
    // failed one the banner the first time in the process, "-" after that.
    bool ReadRegisters(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count, std::uint16_t *regs) {
        return Read(deviceAddr, startAddr, count, regs) == ReadOutcome::kGood;
    }
    // The same read and console indicator, telling whose failure it was.
    ReadOutcome Read(std::uint8_t deviceAddr, std::uint16_t startAddr, std::uint16_t count, std::uint16_t *regs);

private:
    ComPort port;
    // Held in place (never on the heap) so that the destructor can end them
    // in its own order.
    std::optional<ModbusAscii> codec;
    std::optional<ModbusClient> client;
};

// The one link of the process: a static object, constructed before main and
// destroyed after it has returned. The tag updater keeps a pointer to it.
// The server defines it beside its other process-wide objects, whose order matters.
extern ModbusLink modbusLink;
