// The driver object: polls the configured query blocks into the toolkit's
// cache, one pass per call of PollBlocks.
#pragma once

class TagUpdater {
public:
    // One pass over all query blocks; may throw.
    void PollBlocks();
};
