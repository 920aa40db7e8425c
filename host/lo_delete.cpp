#include "lo_delete.h"

#include "driver.h"
#include "log_handle.h"

void loDelete() {
    if (service_handle == nullptr) return;
    // The updater writes into the service's cache: it goes first.
    delete tag_updater;
    tag_updater = nullptr;
    const int result = loServiceDestroy(service_handle);
    unilog_INFO(log_handle, 0, "%!e loDelete(%p) = ", result, static_cast<void *>(service_handle));
    service_handle = nullptr;
}
