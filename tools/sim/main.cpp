// brisvale-sim: a simulated Modbus ASCII instrument for demos and manual tests.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "RegisterBank.h"
#include "SilenceSchedule.h"
#include "SimLine.h"
#include "SimOptions.h"
#include "SimResponder.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t silenceToggled = 0;

void OnStopSignal(int) {
    stopRequested = 1;
}

void OnSilenceSignal(int) {
    silenceToggled = !silenceToggled;
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal must cut the wait for input short.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    action.sa_handler = OnSilenceSignal;
    sigaction(SIGUSR1, &action, nullptr);
}

void Pause(unsigned milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (!stopRequested && nanosleep(&left, &left) != 0) {
    }
}

}  // namespace

int main(int argc, char **argv) {
    SimOptions options;
    std::string error;
    if (!ParseSimOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "brisvale-sim: %s\n%s", error.c_str(), kSimUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kSimUsage, stdout);
        return 0;
    }

    InstallStopHandlers();
    SimLine line;
    const bool opened = options.tty.empty() ? line.OpenPty(options.link, error) : line.OpenTty(options.tty, error);
    if (!opened) {
        std::fprintf(stderr, "brisvale-sim: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "brisvale-sim: serving %s%s%s, devices", line.SlavePath().c_str(),
                 options.link.empty() ? "" : " as ", options.link.c_str());
    for (const int device : options.devices) std::fprintf(stderr, " %d", device);
    std::fprintf(stderr, "\n");

    const RegisterBank bank(options.registers);
    SimResponder responder(options, bank, options.verbose ? stderr : nullptr);
    const SilenceSchedule schedule(options.silentEvery, options.silentFor);
    bool wasSilent = false;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> answers;
    char buffer[512];
    int status = 0;

    while (!stopRequested) {
        if (!line.WaitForInput(200)) continue;
        const long n = line.Read(buffer, sizeof buffer);
        if (n < 0) {
            std::perror("brisvale-sim: read");
            status = 1;
            break;
        }
        if (n == 0) continue;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        answers.clear();
        responder.Receive(buffer, static_cast<std::size_t>(n), seconds, answers);
        const bool silent = schedule.SilentAt(seconds) || silenceToggled;
        if (silent != wasSilent) {
            std::fprintf(stderr, "brisvale-sim: %s\n", silent ? "silent" : "answering again");
            wasSilent = silent;
        }
        if (silent) answers.clear();
        for (const std::string &answer : answers) {
            if (options.delayMs > 0) Pause(options.delayMs);
            line.Write(answer, options.baud);
        }
        if (options.once && responder.RequestsForUs() > 0) {
            line.Linger(2000);
            break;
        }
    }
    line.Close();
    return status;
}
