#include "factory_fixture.h"

#include <cstring>

void RunningServer::SetUp() {
    loDriver driver;
    std::memset(&driver, 0, sizeof driver);
    driver.ldRefreshRate = 500;
    driver.ldFlags = 0x80;
    ASSERT_EQ(loServiceCreate(&service_handle, &driver, 0), 0);
    use_console = 0;
    stop_requests = 0;
    server_factory.server_running = 1;
    server_factory.server_addref();
    log_.Mark();
}

void RunningServer::TearDown() {
    // Give back whatever the test left, so that COM's process count is balanced.
    while (server_factory.server_count > 0) server_factory.server_release();
    server_factory.server_running = 0;
    if (service_handle != nullptr) loServiceDestroy(service_handle);
    service_handle = nullptr;
    use_console = 0;
    stop_requests = 0;
}
