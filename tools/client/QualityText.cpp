#include "QualityText.h"

#include <cstdio>

namespace {

// The substatus names of the Data Access standard, by status; null where the
// standard defines none.
const char *const kBad[16] = {nullptr,          "config error",   "not connected",
                              "device failure", "sensor failure", "last known value",
                              "comm failure",   "out of service", "waiting for initial data"};
const char *const kUncertain[16] = {
    nullptr, "last usable value", nullptr, nullptr, "sensor not accurate", "EU units exceeded", "sub-normal"};
const char *const kGood[16] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "local override"};
const char *const kLimit[4] = {nullptr, "low limited", "high limited", "constant"};

}  // namespace

std::string QualityName(WORD quality) {
    const unsigned status = (quality >> 6) & 0x3;
    const unsigned substatus = (quality >> 2) & 0xF;
    const unsigned limit = quality & 0x3;
    static const char *const kStatus[4] = {"bad", "uncertain", "reserved", "good"};
    static const char *const *const kSubstatus[4] = {kBad, kUncertain, nullptr, kGood};

    std::string name = kStatus[status];
    if (substatus != 0) {
        const char *known = kSubstatus[status] != nullptr ? kSubstatus[status][substatus] : nullptr;
        name += ": ";
        name += known != nullptr ? known : "substatus " + std::to_string(substatus);
    }
    if (kLimit[limit] != nullptr) {
        name += substatus != 0 ? ", " : ": ";
        name += kLimit[limit];
    }
    return name;
}

std::string QualityText(WORD quality) {
    char number[16];
    std::snprintf(number, sizeof number, quality > 0xFF ? " (0x%04X)" : " (0x%02X)", static_cast<unsigned>(quality));
    return QualityName(quality) + number;
}
