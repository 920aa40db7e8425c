// Whether a polling pass should stop before its next block. On a slow line
// every block of a pass can take seconds, so a stop that waited for the end
// of the pass could keep the operator waiting for minutes. Blocks left unread
// stay due for the next pass.
#pragma once

// Never, until the host says what a stop is.
extern bool (*pass_interrupted)();
