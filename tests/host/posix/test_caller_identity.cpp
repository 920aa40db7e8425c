// The caller's identity reaches the log, the console and the session name.
#include <gtest/gtest.h>

#include "../factory_fixture.h"

namespace {

using CallerIdentity = RunningServer;

TEST_F(CallerIdentity, KnownUserIsShownInEveryLine) {
    use_console = 1;
    com_SetCallerIdentity(L"DOMAIN\\operator");
    const long client = NextClient();
    testing::internal::CaptureStdout();
    IUnknown *object = nullptr;
    ASSERT_EQ(server_factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
    com_SetCallerIdentity(nullptr);
    object->Release();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "+Attaching a client " + Number(client) + ". USERID: <DOMAIN\\operator>\n" +
                  "-Detaching a client. USERID: <" + Number(client) + " DOMAIN\\operator>\n");
    EXPECT_EQ(log_.Count("MESSAGE", "USER:" + Number(client) + " <DOMAIN\\operator>"), 1);
    EXPECT_EQ(log_.Count("INFO", "a_server_finished(1) USERID=<" + Number(client) + " DOMAIN\\operator>"), 1);
}

}  // namespace
