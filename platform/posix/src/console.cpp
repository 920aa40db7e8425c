#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {
constexpr int kMaxHandlers = 16;

// Read by the signal handler: fixed storage, changed only outside it.
std::atomic<PHANDLER_ROUTINE> handlers[kMaxHandlers];
std::atomic<int> handlerCount{0};

void OnInterrupt(int) {
    // Most recently added first; the first that handles the event ends the walk.
    for (int i = handlerCount.load() - 1; i >= 0; --i) {
        PHANDLER_ROUTINE handler = handlers[i].load();
        if (handler != nullptr && handler(CTRL_C_EVENT)) return;
    }
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
}

void InstallInterruptHandler(bool install) {
    struct sigaction action {};
    action.sa_handler = install ? OnInterrupt : SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}
}  // namespace

BOOL AllocConsole() {
    return TRUE;
}

BOOL FreeConsole() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull < 0) return FALSE;
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    if (devnull > STDERR_FILENO) close(devnull);
    // A new session has no controlling terminal; a process group leader
    // cannot start one, so it only stops listening to the terminal's signals.
    if (setsid() < 0) {
        std::signal(SIGHUP, SIG_IGN);
        std::signal(SIGTSTP, SIG_IGN);
    }
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (handler == nullptr) return FALSE;
    int count = handlerCount.load();
    if (add) {
        if (count == kMaxHandlers) return FALSE;
        handlers[count].store(handler);
        handlerCount.store(count + 1);
        if (count == 0) InstallInterruptHandler(true);
        return TRUE;
    }
    for (int i = count - 1; i >= 0; --i) {
        if (handlers[i].load() != handler) continue;
        for (int j = i; j + 1 < count; ++j) handlers[j].store(handlers[j + 1].load());
        handlerCount.store(count - 1);
        if (count == 1) InstallInterruptHandler(false);
        return TRUE;
    }
    return FALSE;
}
