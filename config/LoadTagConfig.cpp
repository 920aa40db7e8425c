#include "LoadTagConfig.h"

#include <cwchar>
#include <memory>
#include <string>

#include "CError.h"
#include "ConfigFilePath.h"
#include "driver_config.h"
#include "platform/file.h"

namespace {

constexpr wchar_t kSuffix[] = L".tag.cfg";
constexpr wchar_t kTooLong[] = L"tag configuration file name too long";

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
    AppendConfigSuffix(path, length, kSuffix, kTooLong);
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
    MakeConfigFilePath(path, kSuffix, kTooLong);
    LoadTagConfigFrom(path);
}
