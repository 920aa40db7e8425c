// Reading the port configuration file into the port's mode string.
#include <cctype>
#include <cstdio>
#include <memory>

#include "CError.h"
#include "ConfigFilePath.h"
#include "ModbusLink.h"
#include "platform/file.h"

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// The blank separates settings; every other white space is line layout.
bool Kept(int character) {
    return character == ' ' || !std::isspace(static_cast<unsigned char>(character));
}

}  // namespace

void ModbusLink::ReadPortConfig() {
    wchar_t path[kConfigFilePathSize];
    MakeConfigFilePath(path, L".port.cfg", L"port configuration file name too long");
    ReadPortConfigFrom(path);
}

void ModbusLink::ReadPortConfigFrom(const wchar_t *path) {
    const std::unique_ptr<std::FILE, FileCloser> file(OpenSharedRead(path));
    if (!file) return;

    // One character more than the port keeps: a longer text is refused by the
    // port as too long, however long the file is.
    char text[ComPort::kModeStringCapacity + 1];
    std::size_t length = 0;
    for (int character; (character = std::fgetc(file.get())) != EOF;) {
        if (!Kept(character)) continue;
        // A mode string is text: a zero byte would silently cut it short.
        if (character == '\0') ThrowError(L"bad mode string");
        if (length < ComPort::kModeStringCapacity) text[length++] = static_cast<char>(character);
    }
    // A read that broke off would pass for a shorter mode string.
    if (std::ferror(file.get())) ThrowError(L"port configuration file could not be read");
    text[length] = '\0';
    port.SetModeString(text);
}
