// Command line of the simulated instrument.
#pragma once

#include <string>
#include <vector>

enum class Garble { None, Lrc, LowerCase, Short };

struct SimOptions {
    std::string link;              // symlink to create at the pty slave
    std::string tty;               // serve this tty instead of a new pty
    std::vector<int> devices;      // device addresses answered (1 to 247)
    unsigned registers = 1024;     // table size per device
    unsigned delayMs = 0;          // pause before every answer
    unsigned baud = 0;             // answers written at this line rate (0: at once)
    Garble garble = Garble::None;  // corruption applied to every answer
    bool silent = false;           // never answer
    unsigned silentEvery = 0;      // with silentFor: silent for the last silentFor
    unsigned silentFor = 0;        // seconds of every silentEvery seconds
    bool once = false;             // stop after the first request for us
    bool verbose = false;          // trace frames on standard error
    bool help = false;
};

// Fills options from argv; false with a one-line reason for anything it
// cannot use. Without --device the instrument answers as device 1.
bool ParseSimOptions(int argc, const char *const argv[], SimOptions &options, std::string &error);

extern const char kSimUsage[];
