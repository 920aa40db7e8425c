// A caller whose identity COM knows is named by it in the session's lines.
#include "../host_fixture.h"

namespace {

using KnownCaller = RunningServer;

TEST_F(KnownCaller, SessionLinesCarryTheCallersIdentity) {
    com_SetCallerIdentity(L"PLANT\\operator");
    use_console = 1;
    const std::string number = "#" + std::to_string(client_counter + 1);
    testing::internal::CaptureStdout();
    IUnknown *object = nullptr;
    EXPECT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
    com_SetCallerIdentity(nullptr);
    ASSERT_NE(object, nullptr);
    object->Release();

    EXPECT_EQ(testing::internal::GetCapturedStdout(), "+Attaching a client " + number +
                                                          ". USERID: <PLANT\\operator>\n"
                                                          "-Detaching a client. USERID: <" +
                                                          number + " PLANT\\operator>\n");
    EXPECT_THAT(Log(), ::testing::Contains(LogLine{"MESSAGE", "USER:" + number + " <PLANT\\operator>"}));
    EXPECT_THAT(Log(),
                ::testing::Contains(LogLine{"INFO", "a_server_finished(1) USERID=<" + number + " PLANT\\operator>"}));
}

}  // namespace
