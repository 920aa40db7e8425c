// The driver's process-wide state, shared with the host: the toolkit service
// and the tag updater that polls into its cache. Both are null until
// driver_init creates them and again after loDelete has destroyed them.
#pragma once

#include "TagUpdater.h"
#include "lightopc.h"

extern loService *service_handle;
extern TagUpdater *tag_updater;

// Brings the device side up once, before any client can connect.
// 0 on success (also when already initialised), non-zero on failure.
int driver_init(int flags);
