// An OPC client's session through the class factory: the server object it
// gets speaks OPC Data Access, and letting it go ends the session.
#include <string>

#include "class_factory.h"
#include "host_fixture.h"
#include "opc_da.h"

namespace {

using OpcSession = RunningServer;

std::basic_string<OLECHAR> Ole(const char *text) {
    std::basic_string<OLECHAR> wide;
    for (; *text != '\0'; ++text) wide += static_cast<OLECHAR>(*text);
    return wide;
}

std::string Narrow(const OLECHAR *text) {
    std::string narrow;
    for (; *text != 0; ++text) narrow += static_cast<char>(*text);
    return narrow;
}

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

    OPCHANDLE group = 0;
    DWORD rate = 0;
    IUnknown *unknown = nullptr;
    ASSERT_EQ(server->AddGroup(Ole("Main").c_str(), TRUE, 1000, 1, nullptr, nullptr, 0x0409, &group, &rate,
                               IID_IOPCItemMgt, &unknown),
              S_OK);
    IOPCItemMgt *items = static_cast<IOPCItemMgt *>(unknown);
    std::basic_string<OLECHAR> name = Ole("Boiler.Pressure");
    OPCITEMDEF definition{nullptr, &name[0], TRUE, 77, 0, nullptr, VT_I4, 0};
    OPCITEMRESULT *results = nullptr;
    HRESULT *errors = nullptr;
    ASSERT_EQ(items->AddItems(1, &definition, &results, &errors), S_OK);
    OPCHANDLE handle = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    IOPCSyncIO *io = nullptr;
    ASSERT_EQ(items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void **>(&io)), S_OK);
    OPCITEMSTATE *state = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_DEVICE, 1, &handle, &state, &errors), S_OK);
    EXPECT_EQ(V_VT(&state->vDataValue), VT_I4);
    EXPECT_EQ(state->vDataValue.lVal, 321);
    EXPECT_EQ(state->wQuality, 0xC0);
    EXPECT_EQ(state->hClient, 77u);
    CoTaskMemFree(state);
    CoTaskMemFree(errors);
    io->Release();
    items->Release();
    // The session's delivery thread may hold the group for a moment: then the
    // group goes when it lets go, which the standard answers with OPC_S_INUSE.
    const HRESULT removed = server->RemoveGroup(group, FALSE);
    EXPECT_TRUE(removed == S_OK || removed == OPC_S_INUSE) << std::hex << removed;

    Mark();
    EXPECT_EQ(server->Release(), 0u);
    EXPECT_EQ(server_factory.server_count, 1);
    const std::vector<LogLine> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().first, "INFO");
    EXPECT_EQ(log.back().second.rfind("a_server_finished(1) USERID=<#", 0), 0u) << log.back().second;
}

}  // namespace
