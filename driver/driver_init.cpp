#include "driver.h"

#include <cstring>

loService *service_handle = nullptr;
TagUpdater *tag_updater = nullptr;

namespace {
constexpr DWORD kCacheRefreshMs = 500;
constexpr DWORD kDriverFlagBase = 0x80;
}  // namespace

// Publishes no tags yet: an empty service for clients to connect to, and an
// updater with nothing to poll.
int driver_init(int flags) {
    if (service_handle != nullptr) return 0;
    loDriver driver;
    std::memset(&driver, 0, sizeof driver);
    driver.ldRefreshRate = kCacheRefreshMs;
    driver.ldFlags = static_cast<DWORD>(flags) | kDriverFlagBase;
    driver.ldBranchSep = 0;
    tag_updater = new TagUpdater();
    if (loServiceCreate(&service_handle, &driver, 0) != 0) return -1;
    return 0;
}
