// Feeds arbitrary bytes to the port configuration path that needs no device:
// the mode string as the port stores it and the settings builder that reads
// it. Every input must end in settings or a refusal, never in a crash or
// undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CError.h"
#include "ComPort.h"
#include "platform/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    BuildCommDCBA(text.c_str(), &dcb);

    ComPort port;
    try {
        port.SetModeString(text.c_str());
    } catch (const CError &) {
    }
    return 0;
}
