#include "pass_interrupt.h"

namespace {
bool never() {
    return false;
}
}  // namespace

bool (*pass_interrupted)() = never;
