#include "SilenceSchedule.h"

#include <cmath>

bool SilenceSchedule::SilentAt(double seconds) const {
    if (every_ == 0 || for_ == 0 || seconds < 0) return false;
    return std::fmod(seconds, every_) >= every_ - for_;
}
