#include <tuple>

#include "host_fixture.h"

namespace {

// {0D4C3B2A-1111-4222-8333-944455556666}: an interface nobody implements.
const IID IID_Nobody = {0x0d4c3b2a, 0x1111, 0x4222, {0x83, 0x33, 0x94, 0x44, 0x55, 0x55, 0x66, 0x66}};

// The factory as an IUnknown; also the controlling unknown of aggregates, as its references are not counted.
IUnknown *const outer = static_cast<IClassFactory *>(&server_factory);

using Factory = RunningServer;

TEST_F(Factory, QueryInterfaceAndReferencesOfTheStaticObject) {
    const std::tuple<const IID *, HRESULT, void *, const char *> cases[] = {
        {&IID_IUnknown, S_OK, outer, "myClassFactory::QueryInterface() Ok"},
        {&IID_IClassFactory, S_OK, outer, "myClassFactory::QueryInterface() Ok"},
        {&IID_Nobody, E_NOINTERFACE, nullptr, "myClassFactory::QueryInterface() Failed"},
    };
    for (const auto &[iid, result, given, line] : cases) {
        Mark();
        void *object = &object;
        EXPECT_EQ(server_factory.QueryInterface(*iid, &object), result);
        EXPECT_EQ(object, given);
        EXPECT_EQ(Log(), (std::vector<LogLine>{{"DEBUG", line}}));
    }
    Mark();
    EXPECT_EQ(server_factory.QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(server_factory.AddRef(), 1u);
    EXPECT_EQ(server_factory.Release(), 1u);
    EXPECT_EQ(server_factory.server_count, 1);
}

// The session's lines name the caller as COM knows it; only our own runtime
// lets a test set who calls.
TEST_F(Factory, SessionHoldsOneReferenceAndPrintsOnlyWithUseConsole) {
    const struct {
        IUnknown *aggregate;
        int console;
        const wchar_t *caller;
        std::string who;
    } cases[] = {
        {nullptr, 0, nullptr, "{unknown}"},
        {outer, 1, nullptr, "{unknown}"},
#ifndef _WIN32
        {nullptr, 1, L"PLANT\\operator", "PLANT\\operator"},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.aggregate != nullptr) + " aggregated, use_console " + std::to_string(c.console) +
                     ", caller " + c.who);
        use_console = c.console;
        Mark();
        const std::string number = "#" + std::to_string(client_counter + 1);  // drawn next
        testing::internal::CaptureStdout();
        IUnknown *object = nullptr;
#ifndef _WIN32
        com_SetCallerIdentity(c.caller);
#endif
        EXPECT_EQ(server_factory.CreateInstance(c.aggregate, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
#ifndef _WIN32
        com_SetCallerIdentity(nullptr);
#endif
        EXPECT_EQ(server_factory.server_count, 2);
        if (object != nullptr) object->Release();
        EXPECT_NE(object, c.aggregate);  // the inner unknown when aggregated
        EXPECT_EQ(server_factory.server_count, 1);
        EXPECT_EQ(server_factory.server_running, 1);  // the last client leaving stops nothing
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.console ? "+Attaching a client " + number + ". USERID: <" + c.who + ">\n" +
                                  "-Detaching a client. USERID: <" + number + " " + c.who + ">\n"
                            : "");
        EXPECT_EQ(Log(),
                  (std::vector<LogLine>{{"MESSAGE", "USER:" + number + " <" + c.who + ">"},
                                        {"DEBUG", "myClassFactory::server_count = 2"},
                                        {"DEBUG", "a_server_finished(2)..."},
                                        {"INFO", "a_server_finished(1) USERID=<" + number + " " + c.who + ">"}}));
    }
    server_factory.server_addref();  // a session whose name could not be allocated
    testing::internal::CaptureStdout();
    a_server_finished(nullptr, service_handle, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-Detaching a client. USERID: <<null>>\n");
    EXPECT_THAT(Log(), ::testing::Contains(LogLine{"INFO", "a_server_finished(1) USERID=<<null>>"}));
}

TEST_F(Factory, RefusedRequestsDrawANumberAndKeepNoReference) {
    // Outer, interface, out pointer given, service there, result, what is logged after the user line.
    const std::tuple<IUnknown *, const IID *, bool, bool, HRESULT, const char *> cases[] = {
        {outer, &IID_IClassFactory, true, true, CLASS_E_NOAGGREGATION, nullptr},
        {nullptr, &IID_Nobody, true, true, E_NOINTERFACE, "myClassFactory::loClient QueryInterface() failed"},
        {nullptr, &IID_IUnknown, false, true, E_POINTER, nullptr},  // refused rather than written through
        {nullptr, &IID_IUnknown, true, false, E_OUTOFMEMORY, "myClassFactory::loClientCreate_agg() failed"},
    };
    const LONG first = client_counter;
    for (const auto &[aggregate, iid, out, service, result, line] : cases) {
        SCOPED_TRACE(result);
        Mark();
        const std::string number = "#" + std::to_string(client_counter + 1);  // drawn next
        loService *const created = service_handle;
        if (!service) service_handle = nullptr;  // the toolkit creates no client without a service
        void *object = nullptr;
        EXPECT_EQ(server_factory.CreateInstance(aggregate, *iid, out ? &object : nullptr), result);
        service_handle = created;
        EXPECT_EQ(server_factory.server_count, 1);
        const std::vector<LogLine> log = Log();
        const LogLine user{"MESSAGE", "USER:" + number + " <{unknown}>"};
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front(), user);
        EXPECT_EQ(log.back(), (line != nullptr ? LogLine{"MESSAGE", line} : user));
    }
    EXPECT_EQ(client_counter, first + static_cast<LONG>(std::size(cases)));
}

TEST_F(Factory, LockPairKeepsTheCountAndAnUnmatchedUnlockEndsTheServer) {
    EXPECT_EQ(server_factory.LockServer(TRUE), S_OK);
    EXPECT_EQ(server_factory.server_count, 2);
    EXPECT_EQ(server_factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
    EXPECT_EQ(Log(), (std::vector<LogLine>{{"DEBUG", "myClassFactory::LockServer(1)"},
                                           {"DEBUG", "myClassFactory::LockServer(0)"}}));

    CoAddRefServerProcess();  // COM's count outlasts server_count, which alone must end the server
    EXPECT_EQ(server_factory.LockServer(FALSE), S_OK);  // unmatched: the server's own reference goes
    CoReleaseServerProcess();
    EXPECT_EQ(server_factory.server_running, 0);
    void *object = nullptr;
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, &object), E_FAIL);
    EXPECT_EQ(server_factory.server_count, 0);
    EXPECT_EQ(server_factory.server_running, 0);  // references alone never restart it
    EXPECT_THAT(Log(), ::testing::Contains(LogLine{"MESSAGE", "myClassFactory:: Server already finished"}));
}

}  // namespace
