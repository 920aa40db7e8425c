// Default values of keys under HKEY_CLASSES_ROOT, as both Windows
// registrations (the server's and its proxy's) write and read them. Results are
// the system's error numbers.
#pragma once

#include <windows.h>

#include <string>

// Creates the key and sets its default value unless value is null.
LONG SetDefault(const std::string &key, const char *value);
// Sets a named text value of an existing key.
LONG SetNamed(const std::string &key, const char *name, const char *value);
bool KeyExists(const std::string &key);
// The key's default value; ERROR_FILE_NOT_FOUND when the key or the value is missing.
LONG ReadDefault(const std::string &key, std::string *value);
