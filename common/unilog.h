// The log library's interface: one log object per name, five levels,
// printf-style formats plus the directives "%!L" (the calling thread's last
// system error, number and text; takes no argument) and "%!e" (the next
// argument, an error code), each at the start of a format.
// No call ever throws, and a log that cannot be written never stops the caller.
#pragma once

struct unilog;

// level: the most verbose level written unless <exe>.log.cfg says otherwise.
unilog *unilog_Create(const char *name, const char *target, const char *options, int maxSize, int level);
void unilog_Delete(unilog *log);
// Re-reads the settings of every log created under that name.
void unilog_Refresh(const char *name);

// The second argument is reserved (always 0). A null log writes nothing.
void unilog_ERROR(unilog *log, int reserved, const char *format, ...);
void unilog_WARNING(unilog *log, int reserved, const char *format, ...);
void unilog_MESSAGE(unilog *log, int reserved, const char *format, ...);
void unilog_INFO(unilog *log, int reserved, const char *format, ...);
void unilog_DEBUG(unilog *log, int reserved, const char *format, ...);

enum unilog_Level { UL_ERROR = 1, UL_WARNING = 2, UL_MESSAGE = 3, UL_INFO = 4, UL_DEBUG = 5 };
