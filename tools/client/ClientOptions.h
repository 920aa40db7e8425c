// The command line of brisvale-client.
#pragma once

#include <string>
#include <vector>

enum class ClientCommand { None, List, Read, Watch, Status };

struct ClientOptions {
    ClientCommand command = ClientCommand::None;
    std::vector<std::string> tags;          // as given, UTF-8
    std::string server = "OPC.Brisvale.1";  // ProgID
    unsigned rateMs = 1000;                 // watch: the group's requested update rate
    bool json = false;
    bool help = false;
};

// Fills options from argv (UTF-8); false with a one-line reason for anything
// it cannot use. Options may come before or after the command; "--" ends them.
bool ParseClientOptions(int argc, const char *const argv[], ClientOptions &options, std::string &error);

extern const char kClientUsage[];
