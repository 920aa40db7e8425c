#include "host_fixture.h"

namespace {

using Factory = RunningServer;

// The session's lines name the caller as COM knows it; only our own runtime
// lets a test set who calls.
TEST_F(Factory, SessionHoldsOneReferenceAndPrintsItsUserWithUseConsole) {
#ifndef _WIN32
    const std::string who = "PLANT\\operator";
    com_SetCallerIdentity(L"PLANT\\operator");
#else
    const std::string who = "{unknown}";
#endif
    use_console = 1;
    const std::string number = "#" + std::to_string(client_counter + 1);  // drawn next
    testing::internal::CaptureStdout();
    IUnknown *object = nullptr;
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
#ifndef _WIN32
    com_SetCallerIdentity(nullptr);
#endif
    EXPECT_EQ(server_factory.server_count, 2);
    if (object != nullptr) object->Release();
    EXPECT_EQ(server_factory.server_count, 1);
    EXPECT_EQ(server_factory.server_running, 1);  // the last client leaving stops nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "+Attaching a client " + number + ". USERID: <" + who +
                                                          ">\n-Detaching a client. USERID: <" + number + " " + who +
                                                          ">\n");
    EXPECT_EQ(serverLog.Lines(),
              (std::vector<LogLine>{{"MESSAGE", "USER:" + number + " <" + who + ">"},
                                    {"DEBUG", "myClassFactory::server_count = 2"},
                                    {"DEBUG", "a_server_finished(2)..."},
                                    {"INFO", "a_server_finished(1) USERID=<" + number + " " + who + ">"}}));
}

TEST_F(Factory, NoOutPointerIsRefusedRatherThanWrittenThrough) {
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(server_factory.server_count, 1);
}

TEST_F(Factory, AnUnmatchedUnlockEndsTheServerForGood) {
    CoAddRefServerProcess();  // COM's count outlasts server_count, which alone must end the server
    EXPECT_EQ(server_factory.LockServer(FALSE), S_OK);  // unmatched: the server's own reference goes
    CoReleaseServerProcess();
    EXPECT_EQ(server_factory.server_running, 0);
    void *object = nullptr;
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, &object), E_FAIL);
    EXPECT_EQ(server_factory.server_count, 0);
    EXPECT_EQ(server_factory.server_running, 0);  // references alone never restart it
    EXPECT_THAT(serverLog.Lines(), ::testing::Contains(LogLine{"MESSAGE", "myClassFactory:: Server already finished"}));
}

}  // namespace
