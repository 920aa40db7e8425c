#include "ConfigFilePath.h"

#include <cwchar>

#include "CError.h"
#include "platform/module.h"

void AppendConfigSuffix(wchar_t *path, std::uint32_t length, const wchar_t *suffix, const wchar_t *tooLong) {
    if (length == 0) ThrowError(L"executable path not available");
    const std::size_t suffixLength = std::wcslen(suffix);
    // A result of the full size means the path was cut to fit.
    if (length >= kConfigFilePathSize || length + suffixLength >= kConfigFilePathSize) ThrowError(tooLong);
    std::wmemcpy(path + length, suffix, suffixLength + 1);
}

void MakeConfigFilePath(wchar_t *path, const wchar_t *suffix, const wchar_t *tooLong) {
    const DWORD length = GetModuleFileNameW(nullptr, path, kConfigFilePathSize);
    AppendConfigSuffix(path, length, suffix, tooLong);
}
