// The one command-line option and what it selects.
#pragma once

enum class ServerOption {
    Register,    // "/r", "/rc"
    Unregister,  // "/u"
    Console,     // "/c", "/C"
    Daemon,      // "/daemon"
    Detach,      // "/detach"
    Test,        // "/test"
    Unknown,
};

// The option strings are searched for anywhere inside the argument, in a fixed
// order, case-sensitively; the first one found wins ("/daemon/c" is Console).
ServerOption MatchOption(const char *argument);

// True when the "/r" found in the argument is directly followed by 'c': the
// server is then registered to start in console mode.
bool RegistersConsoleStart(const char *argument);

extern const char *const kHelpText;
