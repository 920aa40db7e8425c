// Opening a configuration file beside the executable: read in text mode,
// shared with other readers and writers.
#pragma once

#include <cstdio>

// Null when the file cannot be opened; a folder is not a file. The wide name
// is encoded in the locale's narrow encoding, and a character below 256 that
// the encoding cannot represent stands for that byte, as GetModuleFileNameW
// decodes such bytes.
std::FILE *OpenSharedRead(const wchar_t *path);
