#include <tuple>

#include "CError.h"
#include "ctrl_handler.h"
#include "host_fixture.h"
#include "log_refresh.h"

namespace {

int passes = 0;

using ServiceLoop = RunningServer;

TEST_F(ServiceLoop, EndsOnAFinishedServerCtrlCOrAnError) {
    const LogLine started{"MESSAGE", "UpdateTags Started..."}, clean{"MESSAGE", "All clean. exiting..."};
    void (*const count)() = [] { ++passes; };
    // server_running, polling pass, passes made, server_count after, log.
    const std::tuple<LONG, void (*)(), int, LONG, std::vector<LogLine>> cases[] = {
        {0, count, 0, 1, {started, clean}},
        {1, [] { ++passes == 3 && ctrl_handler(CTRL_C_EVENT); }, 3, 0, {started, clean}},
        {1, [] { ++passes, ThrowError(L"poll failed"); }, 1, 1, {started, {"ERROR", "poll failed"}, clean}},
        {1, [] { ++passes, throw 1; }, 1, 1, {started, {"WARNING", "exiting..."}, clean}},
    };
    for (const auto &row : cases) {
        const auto &[running, pass, made, count_after, log] = row;
        SCOPED_TRACE(&row - cases);
        server_factory.server_running = running;
        stop_requests = 0;
        poll_pass = pass;
        passes = 0;
        serverLog.Mark();
        UpdateTags();
        EXPECT_EQ(passes, made);
        EXPECT_EQ(server_factory.server_count, count_after);
        EXPECT_EQ(serverLog.Lines(), log);
        if (server_factory.server_count == 0) server_factory.server_addref();
    }
}

TEST_F(ServiceLoop, RunRevokesTheClassThenDeletesUpdaterAndService) {
    poll_pass = [] { ctrl_handler(CTRL_C_EVENT); };
    tag_updater = new TagUpdater(&modbusLink);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_BrisvaleServer, static_cast<IClassFactory *>(&server_factory),
                                    CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // the run uninitialises once
    service_run(cookie);
    EXPECT_EQ(tag_updater, nullptr);
    EXPECT_EQ(service_handle, nullptr);
    EXPECT_EQ(server_factory.server_count, 1);  // the run's own reference is back, the fixture's held
    EXPECT_TRUE(FAILED(CoRevokeClassObject(cookie)));
}

TEST(LogRefresh, DueAtTheFirstPassUnlessTheTopBitsAreZeroAndAtEvery2To28Boundary) {
    // Low words of the clock (100 ns units) at successive passes; the last one set back.
    const std::pair<DWORD, bool> passes[] = {
        {0x0FFFFFFF, false}, {0x10000000, true}, {0x3007A159, true},
        {0x3FFFFFFF, false}, {0x40000000, true}, {0x30003039, true},
    };
    DWORD epoch = 0;
    for (const auto &[low, due] : passes) EXPECT_EQ(log_refresh_due(&epoch, {low, 0x01DA0000}), due) << low;
}

}  // namespace
