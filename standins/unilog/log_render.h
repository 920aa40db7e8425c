// Turns one call's format and arguments into the text of one log line.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace unilog_render {

// Room for a record's text; a longer text is cut and ends in kCutMark.
constexpr std::size_t kTextCapacity = 4000;
constexpr char kCutMark[] = "...";

// Renders into out (capacity kTextCapacity, always terminated). A directive
// counts only at the very start of format: "%!L" gives "[<lastError>] <text>",
// "%!e" takes the next argument as an int code and gives "[0x<8 hex digits>]"
// followed by " <text>" where the platform knows one. Then the rest of format
// is rendered printf-style; see EscapeStrayPercents. Line breaks are folded,
// see FoldToOneLine.
void RenderText(char *out, unsigned long lastError, const char *format, va_list args);

// The format with every '%' that does not begin a printf conversion doubled,
// so that it is written as it stands instead of reading an argument: a "%!"
// anywhere (a directive out of place, or cut short), a '%' at the end, an
// unknown conversion. "%n" is refused as well: a log never writes to memory.
std::string EscapeStrayPercents(const char *format);

// Keeps a record on one line: trailing CR/LF are dropped, each line break
// inside (CR LF, LF or CR) becomes one space, other control characters but
// the tab become '?'.
void FoldToOneLine(char *text);

}  // namespace unilog_render
