// The optional settings file beside the executable, "<exe>.log.cfg", read when
// a log is created and at every refresh.
#pragma once

#include <cstdio>

namespace unilog_settings {

// Result of the readers when no level is set.
constexpr int kNoLevel = 0;

// The level set by a line "level=N" with N from 1 to 5 (any letter case,
// blanks around the parts allowed), the last such line winning. Other lines,
// and lines longer than a settings line can be, are ignored.
int ReadLevel();
int ParseLevel(std::FILE *settings);

}  // namespace unilog_settings
