// brisvale-client: an OPC Data Access client for the people who run the
// Brisvale OPC server (docs/client.md).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "Activation.h"
#include "ClientIo.h"
#include "ClientOptions.h"
#include "ExitCodes.h"
#include "RunClient.h"
#include "platform/console.h"

namespace {

std::atomic<int> stopRequests{0};

BOOL WINAPI OnCtrl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    ++stopRequests;
    return TRUE;
}

bool WaitForCtrlC(unsigned waitMs) {
    constexpr unsigned kSliceMs = 50;
    for (unsigned waited = 0; stopRequests == 0 && waited < waitMs; waited += kSliceMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
    return stopRequests != 0;
}

}  // namespace

int main(int argc, char **argv) {
    ClientOptions options;
    std::string error;
    if (!ParseClientOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "brisvale-client: %s (--help shows the usage)\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kClientUsage, stdout);
        return kExitOk;
    }
    // Only watch waits for Ctrl-C; the other commands end by themselves.
    if (options.command == ClientCommand::Watch) SetConsoleCtrlHandler(OnCtrl, TRUE);

    // The multithreaded apartment: the server's callbacks arrive without a
    // message loop of ours.
    const HRESULT initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(initialised)) {
        std::fprintf(stderr, "brisvale-client: CoInitializeEx failed (%s)\n", ResultText(initialised).c_str());
        return kExitFailure;
    }
    int status = kExitFailure;
    {
        ClientIo io(std::cout, std::cerr, WaitForCtrlC);
        status = RunClient(options, ActivateLocalServer, io);
    }
    CoUninitialize();
    return status;
}
