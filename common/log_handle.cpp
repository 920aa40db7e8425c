#include "log_handle.h"

unilog *log_handle = nullptr;
