#include <clocale>
#include <cstring>

#include "CError.h"
#include "LoadTagConfig.h"
#include "driver.h"
#include "driver_config.h"
#include "log_handle.h"
#include "misplaced_entries.h"

loService *service_handle = nullptr;
TagUpdater *tag_updater = nullptr;

namespace {
constexpr DWORD kCacheRefreshMs = 500;
constexpr DWORD kDriverFlagBase = 0x80;

// Everything after the descriptor; a CError from any step ends it.
void bring_up(const loDriver &driver) {
    modbusLink.ReadPortConfig();
    // Proves once that the port exists, can be had exclusively and takes the
    // mode; the first read opens it for good.
    modbusLink.Port().Open();
    modbusLink.Port().Close();

    tag_updater = new TagUpdater(&modbusLink);
    LoadTagConfig();
    tag_updater->config = driverConfig;
    log_misplaced_entries(tag_updater->config);
    const std::int32_t tags = tag_updater->config.TotalTagCount();
    if (loServiceCreate(&service_handle, &driver, static_cast<unsigned>(tags)) != 0) ThrowError(L"loCreate()");
    tag_updater->service = service_handle;
    tag_updater->PublishTags();
}
}  // namespace

int driver_init(int flags) {
    // The port file reader and the mark-up reader classify characters by the
    // user's locale.
    std::setlocale(LC_CTYPE, "");
    if (service_handle != nullptr) {
        unilog_ERROR(log_handle, 0, "Driver already initialized!");
        return 0;
    }

    loDriver driver;
    std::memset(&driver, 0, sizeof driver);
    driver.ldRefreshRate = kCacheRefreshMs;
    driver.ldFlags = static_cast<DWORD>(flags) | kDriverFlagBase;
    driver.ldBranchSep = 0;

    try {
        bring_up(driver);
    } catch (const CError &error) {
        unilog_ERROR(log_handle, 0, "%s", error.narrowMessage);
        return -1;
    }
    return 0;
}
