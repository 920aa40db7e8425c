// A running server for the in-process host tests: COM initialised, the log
// open at DEBUG level in "<test executable>.log", a toolkit service with no
// tags, server_running set and the server's own reference held.
#pragma once

#include <gmock/gmock.h>

#include <fstream>
#include <regex>

#include "driver.h"
#include "entry_flags.h"
#include "lo_delete.h"
#include "log_handle.h"
#include "platform/module.h"
#include "process_objects.h"
#include "server_identity.h"
#include "service_loop.h"

using LogLine = std::pair<std::string, std::string>;  // level, text

class RunningServer : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::ofstream(LogPath() + ".cfg") << "level=5\n";
        log_handle = unilog_Create(kProgId, "|Brisvale OPC", "%!T", -1, 3);
        const loDriver driver{};
        ASSERT_EQ(loServiceCreate(&service_handle, &driver, 0), 0);
        server_factory.server_running = 1;
        server_factory.server_addref();
        Mark();
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

    // Later reads see only the lines written after this.
    void Mark() { offset_ = std::ifstream(LogPath(), std::ios::binary | std::ios::ate).tellg(); }

    std::vector<LogLine> Log() const {
        static const std::regex kLine(R"(^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*?)\r?$)");
        std::ifstream file(LogPath(), std::ios::binary);
        file.seekg(offset_);
        std::vector<LogLine> lines;
        std::smatch match;
        for (std::string line; std::getline(file, line);) {
            if (std::regex_match(line, match, kLine)) lines.emplace_back(match[1], match[2]);
        }
        return lines;
    }

private:
    static std::string LogPath() {
        char path[4096] = "";
        GetModuleFileNameA(nullptr, path, sizeof path);
        return std::string(path) + ".log";
    }

    std::streamoff offset_ = 0;
    void (*const saved_pass_)() = poll_pass;
};
