#include "command_line.h"

#include <cstring>

namespace {
struct OptionString {
    const char *text;
    ServerOption option;
};

constexpr OptionString kOptions[] = {
    {"/r", ServerOption::Register}, {"/u", ServerOption::Unregister},  {"/c", ServerOption::Console},
    {"/C", ServerOption::Console},  {"/daemon", ServerOption::Daemon}, {"/detach", ServerOption::Detach},
    {"/test", ServerOption::Test},
};
}  // namespace

const char *const kHelpText =
    "\nOne of following flags can be specified:\n"
    "\t/r       - register;\n"
    "\t/u       - unregister;\n"
    "\t/rc      - register to start with /c key;\n"
    "\t/c       - create console window;\n"
    "\t/daemon  - run in daemon mode;\n"
    "\t/test    - run in test mode for 25 seconds;\n"
    "\t/detach  - run in unbreakable daemon mode.";

ServerOption MatchOption(const char *argument) {
    for (const OptionString &candidate : kOptions) {
        if (std::strstr(argument, candidate.text) != nullptr) return candidate.option;
    }
    return ServerOption::Unknown;
}

bool RegistersConsoleStart(const char *argument) {
    const char *found = std::strstr(argument, "/r");
    return found != nullptr && found[2] == 'c';
}
