// A running server for the in-process host tests: COM initialised, the log
// open at DEBUG level in "<test executable>.log", a toolkit service with no
// tags, server_running set and the server's own reference held.
#pragma once

#include <gmock/gmock.h>

#include <fstream>

#include "../common/server_log.h"

#include "driver.h"
#include "entry_flags.h"
#include "lo_delete.h"
#include "log_handle.h"
#include "platform/module.h"
#include "process_objects.h"
#include "server_identity.h"
#include "service_loop.h"

class RunningServer : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::ofstream(BesideExecutable(".log.cfg")) << "level=5\n";
        log_handle = unilog_Create(kProgId, "|Brisvale OPC", "%!T", -1, 3);
        const loDriver driver{};
        ASSERT_EQ(loServiceCreate(&service_handle, &driver, 0), 0);
        server_factory.server_running = 1;
        server_factory.server_addref();
        serverLog.Mark();
    }

    void TearDown() override {
        // What the test left is given back, so that COM's process count stays balanced.
        while (server_factory.server_count > 0) server_factory.server_release();
        loDelete();
        use_console = 0;
        stop_requests = 0;
        poll_pass = saved_pass_;
        unilog_Delete(log_handle);
        CoUninitialize();
    }

    ServerLog serverLog;  // Mark(), then Lines() written since

private:
    void (*const saved_pass_)() = poll_pass;
};
