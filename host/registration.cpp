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
void build_command_line(const char *argument, char (&command)[kCommandLineSize]) {
    char path[kModulePathSize] = "";
    GetModuleFileNameA(nullptr, path, kModulePathSize);
    path[kModulePathSize - 1] = '\0';
    std::snprintf(command, kCommandLineSize, "\"%s\"%s", path, RegistersConsoleStart(argument) ? " /c" : "");
}
}  // namespace

bool register_server(const char *argument, const char *program) {
    std::printf("Registering");
    char command[kCommandLineSize];
    build_command_line(argument, command);
    if (loServerRegister(&CLSID_BrisvaleServer, kProgId, kServerDescription, command, 0) == 0) {
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
