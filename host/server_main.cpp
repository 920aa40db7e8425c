#include "server_main.h"

#include <cstdio>

#include "command_line.h"
#include "ctrl_handler.h"
#include "driver.h"
#include "entry_flags.h"
#include "lo_delete.h"
#include "log_handle.h"
#include "platform/com.h"
#include "platform/console.h"
#include "process_objects.h"
#include "registration.h"
#include "server_identity.h"
#include "service_loop.h"

namespace {
constexpr const char *kExiting = "Exiting...";
constexpr const char *kCoInitializeFailed = "CoInitializeEx() failed. Exiting...";
constexpr const char *kDriverInitFailed = "driver_init() failed. Exiting...";
constexpr const char *kRegisterClassFailed = "CoRegisterClassObject() failed. Exiting...";
constexpr int kLogLevel = 3;
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// What the argument asks for: false when the process ends without running the
// server (registration, unregistration).
bool apply_option(const char *argument, const char *program, int *exit_code) {
    std::printf("%s\nClass %s :  ", program, kProgId);
    switch (MatchOption(argument)) {
        case ServerOption::Register:
            if (!register_server(argument, program)) *exit_code = 1;
            return false;
        case ServerOption::Unregister:
            if (!unregister_server(program)) *exit_code = 1;
            return false;
        case ServerOption::Console:
            unilog_MESSAGE(log_handle, 0, "Creating new console...");
            use_console = 1;
            AllocConsole();
            return true;
        case ServerOption::Daemon:
            unilog_MESSAGE(log_handle, 0, "Running as DAEMON");
            std::printf("Running as DAEMON...\n");
            use_console = 1;
            return true;
        case ServerOption::Detach:
            unilog_MESSAGE(log_handle, 0, "Running as Detached DAEMON");
            std::printf("Running as Detached DAEMON...\n");
            return true;
        case ServerOption::Test:
            unilog_MESSAGE(log_handle, 0, "Running in TEST mode");
            std::printf("Running in TEST mode...\n");
            use_console = 1;
            return true;
        case ServerOption::Unknown:
            break;
    }
    unilog_WARNING(log_handle, 0, "unknown option <%s>", argument);
    std::printf("Unknown option <%s>", argument);
    std::printf("%s\n", kHelpText);
    return true;
}

// Brings the server up and runs it; returns the exit message.
const char *run_server() {
    if (use_console == 0) FreeConsole();
    server_factory.server_running = 1;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        unilog_ERROR(log_handle, 0, kCoInitializeFailed);
        return kCoInitializeFailed;
    }
    if (driver_init(0) != 0) {
        unilog_ERROR(log_handle, 0, kDriverInitFailed);
        loDelete();
        CoUninitialize();
        return kDriverInitFailed;
    }
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(CLSID_BrisvaleServer, static_cast<IClassFactory *>(&server_factory), kClassContext,
                                     REGCLS_MULTIPLEUSE, &cookie))) {
        unilog_ERROR(log_handle, 0, kRegisterClassFailed);
        loDelete();
        CoUninitialize();
        return kRegisterClassFailed;
    }
    if (use_console == 1) SetConsoleCtrlHandler(ctrl_handler, TRUE);
    std::printf("press Ctrl-C to terminate");
    service_run(cookie);
    return kExiting;
}
}  // namespace

int server_main(char **argv) {
    // Console output must reach a pipe or file as it happens, as it reaches a
    // console; the single-character read indicator depends on it.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    int exit_code = 0;
    const char *exit_message = kExiting;
    log_handle = unilog_Create(kProgId, "|Brisvale OPC", "%!T", -1, kLogLevel);
    // An empty argument vector has no program name and no option.
    const char *program = argv[0] != nullptr ? argv[0] : "";
    const char *argument = argv[0] != nullptr ? argv[1] : nullptr;
    unilog_DEBUG(log_handle, 0, "WinMain(%s) invoked...", program);

    const bool run = argument == nullptr || apply_option(argument, program, &exit_code);
    if (run) exit_message = run_server();

    if (use_console == 1) std::printf("%s\n", exit_message);
    unilog_MESSAGE(log_handle, 0, "Server exited");
    unilog_DEBUG(log_handle, 0, "WinMain(%s) finished", program);
    unilog_Delete(log_handle);
    log_handle = nullptr;
    return exit_code;
}
