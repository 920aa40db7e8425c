// A running server for the factory to work in: a toolkit service with no tags,
// server_running set and the server's own reference held.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "driver.h"
#include "entry_flags.h"
#include "process_objects.h"
#include "test_log.h"

class RunningServer : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The number the next CreateInstance call will draw.
    static long NextClient() { return client_counter + 1; }
    static std::string Number(long client) { return "#" + std::to_string(client); }

    TestLog log_;
};
