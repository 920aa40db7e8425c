// Every host test executable runs with COM initialised and the server's log
// open at DEBUG level.
#include <gtest/gtest.h>

#include "platform/com.h"
#include "test_log.h"

namespace {
class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        TestLog::Open();
    }
    void TearDown() override {
        TestLog::Close();
        CoUninitialize();
    }
};

[[maybe_unused]] ::testing::Environment *const environment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);
}  // namespace
