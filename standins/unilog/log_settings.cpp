#include "log_settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "log_system.h"
#include "unilog.h"

namespace unilog_settings {
namespace {

constexpr char kSettingsSuffix[] = ".log.cfg";
constexpr char kLevelKey[] = "level";
constexpr std::size_t kLineCapacity = 256;

const char *SkipBlanks(const char *c) {
    while (*c != '\0' && std::isspace(static_cast<unsigned char>(*c))) ++c;
    return c;
}

int LevelOfLine(const char *line) {
    const char *c = SkipBlanks(line);
    for (const char *key = kLevelKey; *key != '\0'; ++key, ++c) {
        if (std::tolower(static_cast<unsigned char>(*c)) != *key) return kNoLevel;
    }
    c = SkipBlanks(c);
    if (*c++ != '=') return kNoLevel;
    c = SkipBlanks(c);
    if (!std::isdigit(static_cast<unsigned char>(*c))) return kNoLevel;
    char *end = nullptr;
    const long level = std::strtol(c, &end, 10);
    if (*SkipBlanks(end) != '\0' || level < UL_ERROR || level > UL_DEBUG) return kNoLevel;
    return static_cast<int>(level);
}

}  // namespace

int ParseLevel(std::FILE *settings) {
    int level = kNoLevel;
    char line[kLineCapacity];
    bool overlong = false;
    while (std::fgets(line, sizeof line, settings) != nullptr) {
        const bool complete = std::strchr(line, '\n') != nullptr || std::feof(settings);
        if (complete && !overlong) {
            const int found = LevelOfLine(line);
            if (found != kNoLevel) level = found;
        }
        overlong = !complete;
    }
    return level;
}

int ReadLevel() {
    std::FILE *settings = unilog_system::OpenBesideExecutable(kSettingsSuffix, "r");
    if (settings == nullptr) return kNoLevel;
    const int level = ParseLevel(settings);
    std::fclose(settings);
    return level;
}

}  // namespace unilog_settings
