#include "registration.h"

#include <cstdio>

#include "command_line.h"
#include "lightopc.h"
#include "log_handle.h"
#include "platform/module.h"
#include "server_identity.h"

namespace {
constexpr int kModulePathSize = 284;
constexpr int kCommandLineSize = 292;

// The quoted executable path, with " /c" when asked to start in console mode.
// False when the path does not fit: a cut path would register another program.
bool build_command_line(const char *argument, char (&command)[kCommandLineSize]) {
    char path[kModulePathSize] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, kModulePathSize);
    if (length == 0 || length >= static_cast<DWORD>(kModulePathSize)) return false;
    path[kModulePathSize - 1] = '\0';
    std::snprintf(command, kCommandLineSize, "\"%s\"%s", path, RegistersConsoleStart(argument) ? " /c" : "");
    return true;
}
}  // namespace

bool register_server(const char *argument, const char *program) {
    std::printf("Registering");
    char command[kCommandLineSize];
    if (build_command_line(argument, command) &&
        loServerRegister(&CLSID_BrisvaleServer, kProgId, kServerDescription, command, 0) == 0) {
        unilog_INFO(log_handle, 0, "Reg <%s> <%s> Ok", kProgId, program);
        std::printf(" Succeeded\n");
        return true;
    }
    unilog_ERROR(log_handle, 0, "%!L Reg <%s> <%s> Failed", kProgId, program);
    std::printf(" FAILED\n");
    return false;
}

bool unregister_server(const char *program) {
    std::printf("UnRegistering");
    if (loServerUnregister(&CLSID_BrisvaleServer, kProgId) == 0) {
        unilog_DEBUG(log_handle, 0, "UnReg <%s> <%s> Ok", kProgId, program);
        std::printf(" Success\n");
        return true;
    }
    unilog_WARNING(log_handle, 0, "%!L UnReg <%s> <%s> Failed", kProgId, program);
    std::printf(" FAILED\n");
    return false;
}
