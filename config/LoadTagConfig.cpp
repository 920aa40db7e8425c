#include "LoadTagConfig.h"

#include <cwchar>
#include <memory>
#include <string>

#include "CError.h"
#include "driver_config.h"
#include "platform/file.h"
#include "platform/module.h"

namespace {

constexpr wchar_t kSuffix[] = L".tag.cfg";
constexpr std::uint32_t kSuffixLength = sizeof kSuffix / sizeof kSuffix[0] - 1;

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

std::string ReadAll(std::FILE *file) {
    std::string text;
    char chunk[16384];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    return text;
}

}  // namespace

void MakeTagConfigPath(wchar_t *path, std::uint32_t length) {
    if (length == 0) ThrowError(L"executable path not available");
    // A result of the full size means the path was cut to fit.
    if (length >= kTagConfigPathSize || length + kSuffixLength >= kTagConfigPathSize) {
        ThrowError(L"tag configuration file name too long");
    }
    std::wmemcpy(path + length, kSuffix, kSuffixLength + 1);
}

void LoadTagConfigFrom(const wchar_t *path) {
    std::string text;
    {
        const std::unique_ptr<std::FILE, FileCloser> file(OpenSharedRead(path));
        if (!file) return;
        text = ReadAll(file.get());
    }
    driverConfig.Parse(std::move(text));
}

void LoadTagConfig() {
    wchar_t path[kTagConfigPathSize];
    const DWORD length = GetModuleFileNameW(nullptr, path, kTagConfigPathSize);
    MakeTagConfigPath(path, length);
    LoadTagConfigFrom(path);
}
