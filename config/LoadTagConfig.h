// Loads <executable path>.tag.cfg into driverConfig.
#pragma once

#include <cstdint>

#include "ConfigFilePath.h"

constexpr std::uint32_t kTagConfigPathSize = kConfigFilePathSize;

// A missing or unopenable file is no error and leaves driverConfig as it was;
// every grammar error is thrown as CError, keeping the blocks read before it.
void LoadTagConfig();
void LoadTagConfigFrom(const wchar_t *path);

// Turns the module path that GetModuleFileNameW left in path (its result is
// length; path holds kTagConfigPathSize units) into the tag file's name.
// Refuses a module path that was not reported or that leaves no room for the
// suffix, rather than opening some other file.
void MakeTagConfigPath(wchar_t *path, std::uint32_t length);
