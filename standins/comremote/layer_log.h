// The layer's lines in the server's log (the one file every log of the
// process shares): why a client was refused, why clients cannot reach the
// server. Rare by nature, so each line opens its own log handle; a flood of
// warnings (a client that asks again and again) is thinned out.
#pragma once

#include <string>

#include "unilog.h"

namespace comremote {

void LayerLog(unilog_Level level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A user name for a log line (names are plain text; anything else shows as '?').
std::string Narrow(const std::wstring &text);

}  // namespace comremote
