#include "TagUpdater.h"

#include <cstdlib>

TagUpdater::~TagUpdater() {
    if (tagValues != nullptr) {
        for (std::int32_t k = 0; k <= tagCount; ++k) VariantClear(&tagValues[k].tvValue);
        std::free(tagValues);
    }
    // The members go in reverse order of declaration: the tag ids, the
    // configuration, the schedule, then the value buffer.
}
