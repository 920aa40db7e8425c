#include "ClientOptions.h"

#include <cerrno>
#include <cstdlib>

const char kClientUsage[] =
    "usage: brisvale-client [--json] [--server PROGID] COMMAND [ARG...]\n"
    "\n"
    "An OPC Data Access client for the Brisvale OPC server: it activates the\n"
    "server as any OPC client does (COM starts it when it is not running).\n"
    "\n"
    "commands:\n"
    "  list                     the tags with their canonical types\n"
    "  read [TAG...]            value, timestamp and quality of the tags (all without TAG)\n"
    "  watch [--rate MS] [TAG...]\n"
    "                           print every change of the tags (all without TAG) until\n"
    "                           Ctrl-C; MS is the group's update rate (default 1000)\n"
    "  status                   the server's state, times, group count, vendor and version\n"
    "\n"
    "options:\n"
    "  --json                   machine-readable output: one JSON document (list, read,\n"
    "                           status), one JSON object per line (watch)\n"
    "  --server PROGID          the server to use (default OPC.Brisvale.1)\n"
    "  --help                   show this text\n"
    "\n"
    "exit codes:\n"
    "  0  done (watch: ended by Ctrl-C)\n"
    "  1  another failure (a call failed, the server went away)\n"
    "  2  the command line cannot be used\n"
    "  3  the server is not registered\n"
    "  4  the server is registered but could not be started\n"
    "  5  the server refused the client (access denied, it could not make a session,\n"
    "     or it is busy: it serves as many clients as it may)\n"
    "  6  a tag named on the command line does not exist\n";

namespace {

constexpr unsigned long kLongestRateMs = 86400000;  // one day: beyond it a rate is a typing error

bool ParseRate(const char *text, unsigned &rate) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > kLongestRateMs) return false;
    rate = static_cast<unsigned>(value);
    return true;
}

bool ParseCommand(const std::string &word, ClientCommand &command) {
    if (word == "list") {
        command = ClientCommand::List;
    } else if (word == "read") {
        command = ClientCommand::Read;
    } else if (word == "watch") {
        command = ClientCommand::Watch;
    } else if (word == "status") {
        command = ClientCommand::Status;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseClientOptions(int argc, const char *const argv[], ClientOptions &options, std::string &error) {
    bool rateGiven = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (arg == "--help" || arg == "-h" || arg == "/?")) {
            options.help = true;
        } else if (!optionsEnded && arg == "--json") {
            options.json = true;
        } else if (!optionsEnded && arg == "--server") {
            if (value == nullptr || *value == '\0') {
                error = "--server needs a ProgID";
                return false;
            }
            options.server = value;
            ++i;
        } else if (!optionsEnded && arg == "--rate") {
            if (!ParseRate(value, options.rateMs)) {
                error = "--rate needs milliseconds from 0 to 86400000";
                return false;
            }
            rateGiven = true;
            ++i;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            error = "unknown option <" + arg + ">";
            return false;
        } else if (options.command == ClientCommand::None) {
            if (!ParseCommand(arg, options.command)) {
                error = "unknown command <" + arg + ">";
                return false;
            }
        } else {
            options.tags.push_back(arg);
        }
    }
    if (options.help) return true;
    if (options.command == ClientCommand::None) {
        error = "no command: give list, read, watch or status";
        return false;
    }
    if (rateGiven && options.command != ClientCommand::Watch) {
        error = "--rate belongs to watch";
        return false;
    }
    if (!options.tags.empty() && (options.command == ClientCommand::List || options.command == ClientCommand::Status)) {
        error = std::string(options.command == ClientCommand::List ? "list" : "status") + " takes no tags";
        return false;
    }
    return true;
}
