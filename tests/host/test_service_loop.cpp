#include <gtest/gtest.h>

#include "CError.h"
#include "ctrl_handler.h"
#include "factory_fixture.h"
#include "lo_delete.h"
#include "log_refresh.h"
#include "server_identity.h"
#include "service_loop.h"

namespace {

// The polling pass the loop runs, replaced for one test at a time.
class PollPass {
public:
    explicit PollPass(void (*pass)()) : saved_(poll_pass) {
        poll_pass = pass;
        calls = 0;
    }
    ~PollPass() { poll_pass = saved_; }
    PollPass(const PollPass &) = delete;
    PollPass &operator=(const PollPass &) = delete;

    static inline int calls = 0;

private:
    void (*const saved_)();
};

using ServiceLoop = RunningServer;

TEST_F(ServiceLoop, ReleasingTheLastReferenceFinishesTheServer) {
    server_factory.server_addref();
    server_factory.server_release();
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
    server_factory.server_release();
    EXPECT_EQ(server_factory.server_count, 0);
    EXPECT_EQ(server_factory.server_running, 0);
    server_factory.server_addref();  // references alone never restart it
    EXPECT_EQ(server_factory.server_running, 0);
    server_factory.server_release();
}

TEST_F(ServiceLoop, FinishedServerEndsTheLoopBeforeAnyPass) {
    PollPass pass([] { ++PollPass::calls; });
    server_factory.server_running = 0;
    UpdateTags();
    EXPECT_EQ(PollPass::calls, 0);
    EXPECT_EQ(server_factory.server_count, 1);
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, "MESSAGE");
    EXPECT_EQ(lines[0].text, "UpdateTags Started...");
    EXPECT_EQ(lines[1].level, "MESSAGE");
    EXPECT_EQ(lines[1].text, "All clean. exiting...");
}

TEST_F(ServiceLoop, CtrlCGivesTheOwnReferenceBackOnceHoweverOftenPressed) {
    PollPass pass([] { ++PollPass::calls; });
    server_factory.server_addref();  // a client still attached
    stop_requests = 3;
    UpdateTags();
    EXPECT_EQ(PollPass::calls, 0);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
    EXPECT_EQ(log_.Count("MESSAGE", "All clean. exiting..."), 1);
}

TEST_F(ServiceLoop, CtrlCDuringAPassTakesEffectAtTheNextTest) {
    PollPass pass([] {
        if (++PollPass::calls == 3) ctrl_handler(CTRL_C_EVENT);
    });
    UpdateTags();
    EXPECT_EQ(PollPass::calls, 3);
    EXPECT_EQ(server_factory.server_count, 0);
    EXPECT_EQ(server_factory.server_running, 0);
}

TEST_F(ServiceLoop, ErrorFromThePollIsLoggedAndKeepsTheOwnReference) {
    PollPass pass([] {
        ++PollPass::calls;
        ThrowError(L"poll failed");
    });
    UpdateTags();
    EXPECT_EQ(PollPass::calls, 1);
    EXPECT_EQ(server_factory.server_count, 1);
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "UpdateTags Started...");
    EXPECT_EQ(lines[1].level, "ERROR");
    EXPECT_EQ(lines[1].text, "poll failed");
    EXPECT_EQ(lines[2].level, "MESSAGE");
    EXPECT_EQ(lines[2].text, "All clean. exiting...");
}

TEST_F(ServiceLoop, ServiceRunRevokesTheClassAndDestroysTheService) {
    PollPass pass([] { ctrl_handler(CTRL_C_EVENT); });
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_BrisvaleServer, static_cast<IClassFactory *>(&server_factory),
                                    CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // the run uninitialises once
    service_run(cookie);
    EXPECT_EQ(service_handle, nullptr);
    // The run's own reference is given back; the fixture's is still held.
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(log_.CountPrefix("WARNING", "CoRevokeClassObject"), 0);
    EXPECT_TRUE(FAILED(CoRevokeClassObject(cookie)));  // already revoked
    EXPECT_EQ(log_.CountPrefix("INFO", "[0x00000000]"), 1);
}

TEST_F(ServiceLoop, FailedRevocationIsAWarningAndTheShutdownGoesOn) {
    stop_requests = 1;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    service_run(0xdeadbeef);
    EXPECT_EQ(log_.Count("WARNING", "CoRevokeClassObject() failed..."), 1);
    EXPECT_EQ(service_handle, nullptr);
}

TEST_F(ServiceLoop, LoDeleteDestroysUpdaterAndServiceOnce) {
    tag_updater = new TagUpdater();
    loDelete();
    EXPECT_EQ(tag_updater, nullptr);
    EXPECT_EQ(service_handle, nullptr);
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "INFO");
    EXPECT_NE(lines[0].text.find(" loDelete("), std::string::npos) << lines[0].text;
    const std::string end = ") = ";
    ASSERT_GE(lines[0].text.size(), end.size());
    EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - end.size()), end) << lines[0].text;

    log_.Mark();
    loDelete();
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(ServiceLoop, LoDeleteWithoutServiceLeavesTheUpdater) {
    loService *const service = service_handle;
    service_handle = nullptr;
    TagUpdater *const updater = new TagUpdater();
    tag_updater = updater;
    loDelete();
    EXPECT_EQ(tag_updater, updater);
    EXPECT_TRUE(log_.Lines().empty());
    delete updater;
    tag_updater = nullptr;
    service_handle = service;
}

TEST(CtrlHandler, OnlyCtrlCIsHandled) {
    stop_requests = 0;
    EXPECT_TRUE(ctrl_handler(CTRL_C_EVENT));
    EXPECT_TRUE(ctrl_handler(CTRL_C_EVENT));
    EXPECT_EQ(stop_requests, 2);
    for (DWORD event : {CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        EXPECT_FALSE(ctrl_handler(event)) << event;
    }
    EXPECT_EQ(stop_requests, 2);
    stop_requests = 0;
}

FILETIME Time(ULONGLONG units) {
    return FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
}

TEST(LogRefresh, DueAtTheFirstPassAndAtEvery2To28Boundary) {
    constexpr ULONGLONG kPeriod = 1ULL << 28;
    const ULONGLONG start = 0x01DA000000000000ULL + 3 * kPeriod + 12345;
    DWORD epoch = 0;
    EXPECT_TRUE(log_refresh_due(&epoch, Time(start)));
    EXPECT_FALSE(log_refresh_due(&epoch, Time(start + 500000)));
    const ULONGLONG next = (start / kPeriod + 1) * kPeriod;
    EXPECT_FALSE(log_refresh_due(&epoch, Time(next - 1)));
    EXPECT_TRUE(log_refresh_due(&epoch, Time(next)));
    EXPECT_FALSE(log_refresh_due(&epoch, Time(next + kPeriod - 1)));
    // The clock set back is a change as well.
    EXPECT_TRUE(log_refresh_due(&epoch, Time(start)));
}

TEST(LogRefresh, NotDueAtTheFirstPassWhenTheTopBitsAreZero) {
    DWORD epoch = 0;
    EXPECT_FALSE(log_refresh_due(&epoch, Time(0x01DA00000FFFFFFFULL)));
    EXPECT_TRUE(log_refresh_due(&epoch, Time(0x01DA000010000000ULL)));
    EXPECT_EQ(epoch, 0x10000000u);
}

}  // namespace
