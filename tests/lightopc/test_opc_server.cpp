// The server object as an OPC client drives it: browsing, item properties,
// the group table and the client handles.
#include "opc_client.h"

namespace {

using namespace opc_test;

using Server = OpcTest;

ULONGLONG Units(const FILETIME &time) {
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The times a client's status shows (the last update between the start and
// now) and the groups it holds.
TEST_F(Server, StatusTellsTheTimesAndTheGroups) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "Fast", 100, 1);
    Update(1, 5);
    OPCSERVERSTATUS *status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwGroupCount, 1u);
    EXPECT_GE(Units(status->ftLastUpdateTime), Units(status->ftStartTime));
    EXPECT_LE(Units(status->ftLastUpdateTime), Units(status->ftCurrentTime));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

// The wildcards clients filter names with: # ? * and [classes].
TEST_F(Server, BrowsingAFlatNameSpaceWithFilters) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowseServerAddressSpace> browse =
        Query<IOPCBrowseServerAddressSpace>(server.get(), IID_IOPCBrowseServerAddressSpace);
    ASSERT_TRUE(browse);
    struct Case {
        const char *filter;
        std::string listed;  // the names, or the failure
    } cases[] = {
        {"", "Pump1 Pump2 Valve Tank.Level"}, {"Pump#", "Pump1 Pump2"},
        {"?a*[!0-9]", "Valve Tank.Level"},  // the star gives back what it took
        {"[TV]*", "Valve Tank.Level"},        {"Pump[12", Hex(OPC_E_INVALIDFILTER)},
    };
    for (const Case &c : cases) {
        IEnumString *names = nullptr;
        const HRESULT result = browse->BrowseOPCItemIDs(OPC_FLAT, Ole(c.filter).c_str(), VT_EMPTY, 0, &names);
        std::string listed = FAILED(result) ? Hex(result) : "";
        LPOLESTR name = nullptr;
        while (names != nullptr && names->Next(1, &name, nullptr) == S_OK) {
            listed += (listed.empty() ? "" : " ") + Narrow(name);
            CoTaskMemFree(name);
        }
        if (names != nullptr) names->Release();
        EXPECT_EQ(listed, c.listed) << c.filter;
    }
}

TEST_F(Server, TheSixStandardPropertiesOfATag) {
    Update(3, -12, OPC_QUALITY_GOOD, 0);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemProperties> properties = Query<IOPCItemProperties>(server.get(), IID_IOPCItemProperties);
    ASSERT_TRUE(properties);
    OleText valve = Ole("Valve");
    TaskOut<DWORD> ids;
    TaskOut<LPOLESTR> descriptions{nullptr, [](LPOLESTR &text) { CoTaskMemFree(text); }};
    TaskOut<VARTYPE> types;
    ASSERT_EQ(properties->QueryAvailableProperties(&valve[0], &descriptions.count, &ids.items, &descriptions.items,
                                                   &types.items),
              S_OK);
    std::string listed;
    for (DWORD k = 0; k < descriptions.count; ++k) {
        listed += std::to_string(ids[k]) + ":" + Narrow(descriptions[k]) + ":" + std::to_string(types[k]) + ";";
    }
    EXPECT_EQ(listed,
              "1:Item Canonical DataType:2;2:Item Value:12;3:Item Quality:2;4:Item Timestamp:7;"
              "5:Item Access Rights:3;6:Server Scan Rate:4;");

    DWORD wanted[] = {1, 2, 3, 4, 5, 6, 7};
    TaskOut<VARIANT> values{nullptr, [](VARIANT &value) { VariantClear(&value); }, 7};
    TaskOut<HRESULT> errors;
    ASSERT_EQ(properties->GetItemProperties(&valve[0], 7, wanted, &values.items, &errors.items), S_FALSE);
    std::string shown;
    for (DWORD k = 0; k < 7; ++k) shown += (errors[k] == S_OK ? Shown(values[k]) : Hex(errors[k])) + " ";
    // The timestamp 0 (1601-01-01) as an OLE date, the scan rate of the driver.
    EXPECT_EQ(shown, "I2:2 I2:-12 I2:192 DATE:-109205.000000 I4:1 R4:500.000000 C0040203 ");

    // A failed call hands out nothing, whatever the out pointers held before.
    VARIANT *none = reinterpret_cast<VARIANT *>(1);
    HRESULT *noErrors = reinterpret_cast<HRESULT *>(1);
    EXPECT_EQ(properties->GetItemProperties(&Ole("Boiler")[0], 1, wanted, &none, &noErrors), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(noErrors, nullptr);
}

// A group is found by its name and listed; one the client still holds leaves the table
// when removed, and lives until released.
TEST_F(Server, ARemovedGroupInUseLivesOn) {
    Ref<IOPCServer> server = Connect();
    OPCHANDLE handle = 0;
    Ref<IOPCItemMgt> fast = AddGroup(server.get(), "Fast", 100, 1, TRUE, &handle);
    IUnknown *found = nullptr;
    ASSERT_EQ(server->GetGroupByName(Ole("Fast").c_str(), IID_IOPCItemMgt, &found), S_OK);
    EXPECT_EQ(found, fast.get());
    found->Release();
    IEnumString *names = nullptr;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<IUnknown **>(&names)),
              S_OK);
    LPOLESTR name = nullptr;
    ASSERT_EQ(names->Next(1, &name, nullptr), S_OK);
    EXPECT_EQ(Narrow(name), "Fast");
    CoTaskMemFree(name);
    names->Release();
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), E_INVALIDARG);
    EXPECT_EQ(server->GetGroupByName(Ole("Fast").c_str(), IID_IUnknown, &found), E_INVALIDARG);
    std::string errors;
    AddItems(fast.get(), {"Pump1"}, &errors);
    EXPECT_EQ(errors, "00000000 ok");
}

// However the allocator reuses a released client's memory, the client's
// handle never names a later client: a call through it changes nobody.
TEST_F(Server, ReleasedClientsNameNoLaterOne) {
    std::vector<loClient *> released;
    IUnknown *inner = nullptr;
    for (int round = 0; round <= 20; ++round) {
        loClient *client = nullptr;
        ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, &kVendor, OnFinished, this), 0);
        EXPECT_EQ(loSetState(service, client, 1, 1, "Finished by client"), 0);
        released.push_back(client);
        if (round < 20) {
            EXPECT_EQ(client->Release(), 0u);
        }
    }
    loClient *live = released.back();
    released.pop_back();
    EXPECT_EQ(finished.load(), 20);
    for (loClient *gone : released) {
        EXPECT_NE(gone, live);
        EXPECT_EQ(loSetState(service, gone, 1, 1, "Stale"), EINVAL);
    }
    EXPECT_EQ(loSetState(service, live, 1, 1, "Live"), 0);
    // Its interfaces answer for one identity: the unknown creation handed out.
    EXPECT_EQ(Query<IUnknown>(Query<IOPCServer>(live, IID_IOPCServer).get(), IID_IUnknown).get(), inner);
    EXPECT_EQ(live->Release(), 0u);
}

}  // namespace
