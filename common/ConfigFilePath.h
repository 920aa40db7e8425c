// The name of a configuration file beside the executable: the executable's
// full path, extension included, with a suffix appended.
#pragma once

#include <cstdint>

// Room for a whole configuration file name with its terminator: at most 260 characters.
constexpr std::uint32_t kConfigFilePathSize = 261;

// Turns the module path that GetModuleFileNameW left in path (its result is
// length; path holds kConfigFilePathSize units) into the file's name by
// appending suffix. Refuses a module path that was not reported, or that
// leaves no room for the suffix, with tooLong, rather than open another file.
void AppendConfigSuffix(wchar_t *path, std::uint32_t length, const wchar_t *suffix, const wchar_t *tooLong);

// The same for the running executable's own path.
void MakeConfigFilePath(wchar_t *path, const wchar_t *suffix, const wchar_t *tooLong);
