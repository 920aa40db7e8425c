// The log library's interface: one log object per name, five levels,
// printf-style formats plus the directives "%!L" (the calling thread's last
// system error, number and text; takes no argument) and "%!e" (the next
// argument, an error code), each at the start of a format.
// No call ever throws, and a log that cannot be written never stops the caller.
//
// The stand-in writes every log of the process to "<executable path>.log",
// one line per call, appended and flushed at once:
//   2024-05-01 13:45:07.250 WARNING [4711] <text>
// local time with milliseconds, the level's name, the writing thread's id.
// The text is kept on one line: line breaks at its end are dropped, each one
// inside becomes a space, and a text longer than about 4000 bytes is cut and
// ends in "...". "%!L" renders as "[2] No such file or directory" (the number
// and the system's text for it), "%!e" as "[0x80004005] Unspecified error"
// (the code in hex, then its text where the system has one). A directive counts
// only at the very start of a format; a "%!" anywhere else, like any '%' that
// begins no printf conversion, is written as it stands and takes no argument.
// Calls leave the calling thread's last error as they found it.
#pragma once

struct unilog;

// level: the most verbose level written (out of range: the nearest of 1 to 5),
// unless "<executable path>.log.cfg" holds a line "level=N" with N from 1 to 5.
// The second and third arguments (where to write besides the file, what to
// write in each line) and maxSize (when to start a new file) are accepted and
// ignored: every line carries time, level and thread id, and the file grows.
// A file that cannot be opened gives a log that writes nothing; the result is
// null only when memory runs out.
unilog *unilog_Create(const char *name, const char *target, const char *options, int maxSize, int level);
// Null is ignored, and so is a log deleted before (unless a newer log has
// since been given the same address).
void unilog_Delete(unilog *log);
// Re-reads the settings file for every log created under that name; without
// the file the level given at creation holds again. A name without a log: nothing.
void unilog_Refresh(const char *name);

// The second argument is reserved (always 0). A null log writes nothing.
void unilog_ERROR(unilog *log, int reserved, const char *format, ...);
void unilog_WARNING(unilog *log, int reserved, const char *format, ...);
void unilog_MESSAGE(unilog *log, int reserved, const char *format, ...);
void unilog_INFO(unilog *log, int reserved, const char *format, ...);
void unilog_DEBUG(unilog *log, int reserved, const char *format, ...);

enum unilog_Level { UL_ERROR = 1, UL_WARNING = 2, UL_MESSAGE = 3, UL_INFO = 4, UL_DEBUG = 5 };
