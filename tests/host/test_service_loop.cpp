#include <tuple>

#include "CError.h"
#include "ctrl_handler.h"
#include "host_fixture.h"
#include "log_refresh.h"

namespace {

using ::testing::Pair;

int passes = 0;

using ServiceLoop = RunningServer;

TEST_F(ServiceLoop, EndsOnAFinishedServerCtrlCOrAnException) {
    const LogLine started{"MESSAGE", "UpdateTags Started..."}, clean{"MESSAGE", "All clean. exiting..."};
    void (*const count)() = [] { ++passes; };
    // server_running, Ctrl-C presses before, polling pass, passes made, server_count after, log.
    const std::tuple<LONG, LONG, void (*)(), int, LONG, std::vector<LogLine>> cases[] = {
        {0, 0, count, 0, 1, {started, clean}},
        {1, 3, count, 0, 0, {started, clean}},  // the own reference is given back once
        {1, 0, [] { ++passes == 3 && ctrl_handler(CTRL_C_EVENT); }, 3, 0, {started, clean}},
        {1, 0, [] { ++passes, ThrowError(L"poll failed"); }, 1, 1, {started, {"ERROR", "poll failed"}, clean}},
        {1, 0, [] { ++passes, throw 1; }, 1, 1, {started, {"WARNING", "exiting..."}, clean}},
    };
    for (const auto &row : cases) {
        const auto &[running, presses, pass, made, count_after, log] = row;
        SCOPED_TRACE(&row - cases);
        server_factory.server_running = running;
        stop_requests = presses;
        poll_pass = pass;
        passes = 0;
        Mark();
        UpdateTags();
        EXPECT_EQ(passes, made);
        EXPECT_EQ(server_factory.server_count, count_after);
        EXPECT_EQ(Log(), log);
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
    EXPECT_THAT(Log(),
                ::testing::ElementsAre(
                    Pair("MESSAGE", "UpdateTags Started..."), Pair("MESSAGE", "All clean. exiting..."),
                    Pair("INFO", ::testing::AllOf(::testing::StartsWith("[0x00000000] "),
                                                  ::testing::HasSubstr(" loDelete("), ::testing::EndsWith(") = ")))));

    TagUpdater updater(&modbusLink);  // without a service, a second loDelete does nothing
    tag_updater = &updater;
    Mark();
    loDelete();
    EXPECT_EQ(tag_updater, &updater);
    EXPECT_TRUE(Log().empty());
    tag_updater = nullptr;

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    service_run(0xdeadbeef);  // a cookie COM never gave: a warning, and the shutdown goes on
    EXPECT_THAT(Log(), ::testing::Contains(LogLine{"WARNING", "CoRevokeClassObject() failed..."}));
}

TEST(CtrlHandler, OnlyCtrlCIsHandled) {
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        EXPECT_EQ(ctrl_handler(event), event == CTRL_C_EVENT ? TRUE : FALSE) << event;
    }
    EXPECT_EQ(stop_requests, 1);
    stop_requests = 0;
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
