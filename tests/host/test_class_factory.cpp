#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "factory_fixture.h"

namespace {

// {0D4C3B2A-1111-4222-8333-944455556666}: an interface nobody implements.
const IID IID_Nobody = {0x0d4c3b2a, 0x1111, 0x4222, {0x83, 0x33, 0x94, 0x44, 0x55, 0x55, 0x66, 0x66}};

// The controlling unknown of an aggregate; the tests never call through it.
struct Outer : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

std::string UnknownUserLine(long client) {
    return "USER:" + std::string("#") + std::to_string(client) + " <{unknown}>";
}

using Factory = RunningServer;

TEST_F(Factory, QueryInterfaceGivesItselfForIUnknownAndIClassFactory) {
    for (const IID *iid : {&IID_IUnknown, &IID_IClassFactory}) {
        void *object = nullptr;
        EXPECT_EQ(server_factory.QueryInterface(*iid, &object), S_OK);
        EXPECT_EQ(object, static_cast<IClassFactory *>(&server_factory));
    }
    EXPECT_EQ(log_.Count("DEBUG", "myClassFactory::QueryInterface() Ok"), 2);
    EXPECT_EQ(server_factory.server_count, 1);
}

TEST_F(Factory, QueryInterfaceRefusesOtherInterfacesAndNullOutPointer) {
    void *object = &object;
    EXPECT_EQ(server_factory.QueryInterface(IID_Nobody, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(log_.Count("DEBUG", "myClassFactory::QueryInterface() Failed"), 1);

    log_.Mark();
    EXPECT_EQ(server_factory.QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(server_factory.QueryInterface(IID_Nobody, nullptr), E_INVALIDARG);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(Factory, AddRefAndReleaseAlwaysReturnOneAndChangeNothing) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(server_factory.AddRef(), 1u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(server_factory.Release(), 1u);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
}

TEST_F(Factory, ClientSessionHoldsOneReferenceUntilTheToolkitLetsGo) {
    const long client = NextClient();
    IUnknown *object = nullptr;
    ASSERT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(server_factory.server_count, 2);
    EXPECT_EQ(log_.Count("MESSAGE", UnknownUserLine(client)), 1);
    EXPECT_EQ(log_.Count("DEBUG", "myClassFactory::server_count = 2"), 1);

    object->Release();
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);  // the last client leaving stops nothing
    EXPECT_EQ(log_.Count("DEBUG", "a_server_finished(2)..."), 1);
    EXPECT_EQ(log_.Count("INFO", "a_server_finished(1) USERID=<" + Number(client) + " {unknown}>"), 1);
}

TEST_F(Factory, AggregationWithIUnknownGivesTheInnerUnknown) {
    Outer outer;
    const long client = NextClient();
    IUnknown *inner = nullptr;
    ASSERT_EQ(server_factory.CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void **>(&inner)), S_OK);
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(static_cast<void *>(inner), static_cast<void *>(&outer));
    EXPECT_EQ(server_factory.server_count, 2);

    inner->Release();
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(log_.Count("INFO", "a_server_finished(1) USERID=<" + Number(client) + " {unknown}>"), 1);
}

TEST_F(Factory, AggregationWithAnotherInterfaceIsRefusedButUsesItsNumber) {
    Outer outer;
    const long refused = NextClient();
    void *object = nullptr;
    EXPECT_EQ(server_factory.CreateInstance(&outer, IID_IClassFactory, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(server_factory.server_count, 1);
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "MESSAGE");
    EXPECT_EQ(lines[0].text, UnknownUserLine(refused));

    IUnknown *next = nullptr;
    ASSERT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&next)), S_OK);
    EXPECT_EQ(log_.Count("MESSAGE", UnknownUserLine(refused + 1)), 1);
    next->Release();
    EXPECT_EQ(server_factory.server_count, 1);
}

TEST_F(Factory, ClientWithoutTheInterfaceFailsAndGivesItsReferenceBack) {
    void *object = &object;
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_Nobody, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(log_.Count("MESSAGE", "myClassFactory::loClient QueryInterface() failed"), 1);
    EXPECT_EQ(log_.CountPrefix("INFO", "a_server_finished(1) USERID=<#"), 1);
    EXPECT_EQ(log_.CountPrefix("DEBUG", "myClassFactory::server_count"), 0);
}

TEST_F(Factory, NullOutPointerIsRefusedWithoutTakingAReference) {
    const long client = NextClient();
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    Outer outer;
    EXPECT_EQ(server_factory.CreateInstance(&outer, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(client_counter, client + 1);
    EXPECT_EQ(log_.CountPrefix("INFO", "a_server_finished"), 0);
}

TEST_F(Factory, ToolkitRefusalIsOutOfMemoryAndGivesTheReferenceBack) {
    loService *const service = service_handle;
    service_handle = nullptr;  // the toolkit creates no client without a service
    void *object = nullptr;
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, &object), E_OUTOFMEMORY);
    service_handle = service;
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
    EXPECT_EQ(log_.Count("MESSAGE", "myClassFactory::loClientCreate_agg() failed"), 1);
    EXPECT_EQ(log_.CountPrefix("INFO", "a_server_finished"), 0);
}

TEST_F(Factory, LockAndUnlockLeaveTheCountWhereItWas) {
    EXPECT_EQ(server_factory.LockServer(TRUE), S_OK);
    EXPECT_EQ(server_factory.server_count, 2);
    EXPECT_EQ(server_factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
    EXPECT_EQ(log_.Count("DEBUG", "myClassFactory::LockServer(1)"), 1);
    EXPECT_EQ(log_.Count("DEBUG", "myClassFactory::LockServer(0)"), 1);
}

TEST_F(Factory, UnlockWithoutLockEndsTheServerAndLaterClientsAreRefused) {
    EXPECT_EQ(server_factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(server_factory.server_count, 0);
    EXPECT_EQ(server_factory.server_running, 0);

    for (int i = 0; i < 2; ++i) {
        void *object = &object;
        EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, &object), E_FAIL);
        EXPECT_EQ(server_factory.server_count, 0);
        EXPECT_EQ(server_factory.server_running, 0);  // never set again
    }
    EXPECT_EQ(log_.Count("MESSAGE", "myClassFactory:: Server already finished"), 2);
    EXPECT_EQ(log_.CountPrefix("INFO", "a_server_finished"), 0);
}

TEST_F(Factory, AttachAndDetachLinesOnlyInConsoleModes) {
    for (int console : {0, 1}) {
        use_console = console;
        log_.Mark();
        const long client = NextClient();
        testing::internal::CaptureStdout();
        IUnknown *object = nullptr;
        ASSERT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
        object->Release();
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::string expected = "+Attaching a client " + Number(client) +
                                     ". USERID: <{unknown}>\n-Detaching a client. USERID: <" + Number(client) +
                                     " {unknown}>\n";
        EXPECT_EQ(printed, console ? expected : "") << "use_console " << console;
        EXPECT_EQ(log_.Count("MESSAGE", UnknownUserLine(client)), 1);
        EXPECT_EQ(log_.Count("INFO", "a_server_finished(1) USERID=<" + Number(client) + " {unknown}>"), 1);
    }
}

TEST_F(Factory, SessionWithoutNameIsShownAsNull) {
    use_console = 1;
    server_factory.server_addref();
    testing::internal::CaptureStdout();
    a_server_finished(nullptr, service_handle, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-Detaching a client. USERID: <<null>>\n");
    EXPECT_EQ(log_.Count("INFO", "a_server_finished(1) USERID=<<null>>"), 1);
    EXPECT_EQ(server_factory.server_count, 1);
}

TEST_F(Factory, ConcurrentClientsAndLocksLeaveTheCountWhereItBegan) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 60;
    const long first = NextClient();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < kRounds; ++i) {
                IUnknown *object = nullptr;
                if (server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)) != S_OK) {
                    ++failures;
                    continue;
                }
                if ((i + t) % 3 == 0) server_factory.LockServer(TRUE);
                object->Release();
                if ((i + t) % 3 == 0) server_factory.LockServer(FALSE);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);
    EXPECT_EQ(client_counter, first + kThreads * kRounds - 1);
    // Every request drew its own number.
    std::set<std::string> users;
    for (const LogLine &line : log_.Lines()) {
        if (line.level == "MESSAGE" && line.text.rfind("USER:#", 0) == 0) users.insert(line.text);
    }
    EXPECT_EQ(users.size(), static_cast<size_t>(kThreads * kRounds));
}

}  // namespace
