// An OPC client's session through the class factory: the server object it
// gets speaks OPC Data Access, and letting it go ends the session.
#include <string>

#include "../driver/cache_client.h"
#include "class_factory.h"
#include "host_fixture.h"
#include "opc_da.h"

namespace {

using OpcSession = RunningServer;

using opc_test::Narrow;

TEST_F(OpcSession, AClientReadsATagAndEndsItsSessionByReleasing) {
    // The driver's service, with one register published as it publishes them.
    ASSERT_EQ(loServiceDestroy(service_handle), 0);
    loDriver driver{};
    driver.ldRefreshRate = 500;
    ASSERT_EQ(loServiceCreate(&service_handle, &driver, 1), 0);
    VARIANT zero;
    VariantInit(&zero);
    V_VT(&zero) = VT_I2;
    loTagId id = 0;
    ASSERT_EQ(loAddRealTag(service_handle, &id, nullptr, "Boiler.Pressure", 0, 1, &zero, 0, nullptr), 0);
    loTagValue record{zero, {1, 0}, S_OK, 0xC0, id};
    V_I2(&record.tvValue) = 321;
    ASSERT_NE(loCacheUpdate(service_handle, 1, &record, 0), 0);

    IOPCServer *server = nullptr;
    ASSERT_EQ(server_factory.CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void **>(&server)), S_OK);
    EXPECT_EQ(server_factory.server_count, 2);
    OPCSERVERSTATUS *status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);  // the factory's loSetState changed nothing
    EXPECT_EQ(Narrow(status->szVendorInfo), "Brisvale OPC Server");
    EXPECT_EQ(status->wMajorVersion, 1);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    {
        // Read from the cache as any client reads it: the driver's tag and value.
        server->AddRef();
        CacheClient client{opc_test::Ref<IOPCServer>(server)};
        VARIANT value;
        VariantInit(&value);
        WORD quality = 0;
        FILETIME time{};
        ASSERT_TRUE(client.Read("Boiler.Pressure", &value, &quality, &time));
        EXPECT_EQ(V_I2(&value), 321);
        EXPECT_EQ(quality, 0xC0);
    }

    Mark();
    EXPECT_EQ(server->Release(), 0u);
    EXPECT_EQ(server_factory.server_count, 1);
    const std::vector<LogLine> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().first, "INFO");
    EXPECT_EQ(log.back().second.rfind("a_server_finished(1) USERID=<#", 0), 0u) << log.back().second;
}

}  // namespace
