// Opening a configuration file beside the executable: read in text mode
// (CR LF becomes LF), shared with other readers and writers.
#pragma once

#include <cstdio>

// Null when the file cannot be opened.
std::FILE *OpenSharedRead(const wchar_t *path);
