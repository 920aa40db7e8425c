// The process-wide tag configuration that the loader fills and the driver
// copies. Empty (no blocks, cachedTagCount -1) at start-up. The server defines
// it beside its other process-wide objects, whose order matters.
#pragma once

#include "TagModel.h"

extern TagConfig driverConfig;
