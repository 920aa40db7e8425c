// Tears the driver down: the tag updater first, then the toolkit service.
#pragma once

// Does nothing while no service exists, so it is safe to call twice or after a
// driver initialisation that created none.
void loDelete();
