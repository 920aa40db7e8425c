#include "TagUpdater.h"

// No query blocks are configured yet: a pass has nothing to read.
void TagUpdater::PollBlocks() {}
