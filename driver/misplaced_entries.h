// A block is read as consecutive registers from its first entry's address,
// whatever the later entries say: tell the operator where the two differ.
#pragma once

#include "TagModel.h"

// One WARNING per entry whose configured address is not the register it is
// read from, naming the entry's first tag and both registers.
void log_misplaced_entries(TagConfig &config);
