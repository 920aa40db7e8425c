#include "SimOptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

const char kSimUsage[] =
    "usage: brisvale-sim [--link PATH | --tty DEVICE] [--device N]... [options]\n"
    "\n"
    "A Modbus ASCII instrument that answers function 3 (read holding registers)\n"
    "for the given device addresses, from tables whose values change over time.\n"
    "Without --tty it opens a pseudo-terminal pair and serves its master side.\n"
    "\n"
    "  --link PATH        create a symbolic link PATH to the pty slave (removed at exit)\n"
    "  --tty DEVICE       serve an existing tty (raw mode) instead of a new pty\n"
    "  --device N         answer as device N (1 to 247); repeat for more (default 1)\n"
    "  --registers N      holding registers per device, addresses 0 to N-1 (default 1024)\n"
    "  --delay MS         wait MS milliseconds before every answer\n"
    "  --baud N           write answers at the character rate of an N-baud line\n"
    "                     (10 bits a character, as 8N1 or 7E1), not all at once\n"
    "  --silent           receive requests but never answer\n"
    "  --silent-every SEC with --silent-for S: of every SEC seconds, answer for the\n"
    "  --silent-for S     first SEC-S and stay silent for the last S (a line that\n"
    "                     drops out now and then)\n"
    "  --garble MODE      corrupt every answer: lrc (wrong checksum), lowercase\n"
    "                     (hex letters in lower case), short (first half only)\n"
    "  --once             stop after the first request for one of our devices\n"
    "  --verbose          trace requests and answers on standard error\n"
    "  --help             show this text\n"
    "\n"
    "Even registers swing around device*1000+address in a sine wave, odd registers\n"
    "count seconds. Exceptions: 01 for functions other than 3, 03 for a count of 0\n"
    "or more than 125, 02 for addresses past the table. Requests for other devices\n"
    "and frames with a bad LRC get no answer. SIGUSR1 turns silence on and off.\n"
    "Runs until SIGINT or SIGTERM.\n";

namespace {

bool ParseNumber(const char *text, long low, long high, long &value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

bool ParseGarble(const char *text, Garble &garble) {
    if (text == nullptr) return false;
    if (std::strcmp(text, "lrc") == 0) {
        garble = Garble::Lrc;
    } else if (std::strcmp(text, "lowercase") == 0) {
        garble = Garble::LowerCase;
    } else if (std::strcmp(text, "short") == 0) {
        garble = Garble::Short;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseSimOptions(int argc, const char *const argv[], SimOptions &options, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--silent") {
            options.silent = true;
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--link" || arg == "--tty") {
            if (value == nullptr || *value == '\0') {
                error = arg + " needs a path";
                return false;
            }
            (arg == "--link" ? options.link : options.tty) = value;
            ++i;
        } else if (arg == "--device") {
            if (!ParseNumber(value, 1, 247, number)) {
                error = "--device needs an address from 1 to 247";
                return false;
            }
            if (std::find(options.devices.begin(), options.devices.end(), number) == options.devices.end()) {
                options.devices.push_back(static_cast<int>(number));
            }
            ++i;
        } else if (arg == "--registers") {
            if (!ParseNumber(value, 1, 65536, number)) {
                error = "--registers needs a count from 1 to 65536";
                return false;
            }
            options.registers = static_cast<unsigned>(number);
            ++i;
        } else if (arg == "--delay") {
            if (!ParseNumber(value, 0, 60000, number)) {
                error = "--delay needs milliseconds from 0 to 60000";
                return false;
            }
            options.delayMs = static_cast<unsigned>(number);
            ++i;
        } else if (arg == "--baud") {
            if (!ParseNumber(value, 50, 4000000, number)) {
                error = "--baud needs a rate from 50 to 4000000";
                return false;
            }
            options.baud = static_cast<unsigned>(number);
            ++i;
        } else if (arg == "--silent-every" || arg == "--silent-for") {
            if (!ParseNumber(value, 1, 86400, number)) {
                error = arg + " needs seconds from 1 to 86400";
                return false;
            }
            (arg == "--silent-every" ? options.silentEvery : options.silentFor) = static_cast<unsigned>(number);
            ++i;
        } else if (arg == "--garble") {
            if (!ParseGarble(value, options.garble)) {
                error = "--garble needs lrc, lowercase or short";
                return false;
            }
            ++i;
        } else {
            error = "unknown argument " + arg;
            return false;
        }
    }
    if (!options.link.empty() && !options.tty.empty()) {
        error = "--link and --tty exclude each other";
        return false;
    }
    if ((options.silentEvery == 0) != (options.silentFor == 0)) {
        error = "--silent-every and --silent-for go together";
        return false;
    }
    if (options.silentFor >= options.silentEvery && options.silentFor > 0) {
        error = "--silent-for must be shorter than --silent-every";
        return false;
    }
    if (options.devices.empty()) options.devices.push_back(1);
    return true;
}
