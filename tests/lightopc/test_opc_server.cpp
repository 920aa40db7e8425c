// The server object as an OPC client drives it: status, locales and error
// texts, browsing, item properties and the group table.
#include <system_error>

#include "com_object.h"
#include "opc_client.h"

namespace {

using namespace opc_test;

using Server = OpcTest;

ULONGLONG Units(const FILETIME &time) {
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The names an enumerator lists, separated by spaces; the enumerator is released.
std::string Listed(IEnumString *names) {
    std::string listed;
    LPOLESTR name = nullptr;
    while (names != nullptr && names->Next(1, &name, nullptr) == S_OK) {
        listed += (listed.empty() ? "" : " ") + Narrow(name);
        CoTaskMemFree(name);
    }
    if (names != nullptr) names->Release();
    return listed;
}

TEST(ServerCalls, LackOfMemoryOrOfAThreadIsReportedAsOutOfMemory) {
    // AddGroup starts a delivery thread: none to be had is no "unspecified error".
    EXPECT_EQ(NoThrow([]() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(NoThrow([]() -> HRESULT {
                  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
              }),
              E_OUTOFMEMORY);
    EXPECT_EQ(NoThrow([]() -> HRESULT { throw 42; }), E_FAIL);
}

TEST_F(Server, StatusTellsStateGroupsVendorAndTheLastUpdate) {
    Ref<IOPCServer> server = Connect();
    ASSERT_TRUE(server);
    Ref<IOPCItemMgt> group;
    for (DWORD groups : {0u, 1u}) {
        OPCSERVERSTATUS *status = nullptr;
        ASSERT_EQ(server->GetStatus(&status), S_OK);
        EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
        EXPECT_EQ(status->dwGroupCount, groups);
        EXPECT_EQ(Narrow(status->szVendorInfo), "Brisvale OPC Server");
        // No update before the first one; then between the start and now.
        const ULONGLONG updated = Units(status->ftLastUpdateTime);
        EXPECT_TRUE(groups == 0 ? updated == 0 : updated >= Units(status->ftStartTime)) << updated;
        EXPECT_LE(updated, Units(status->ftCurrentTime));
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        Update(1, 5);
        if (!group) group = AddGroup(server.get(), "G");
    }
    EXPECT_EQ(server->GetStatus(nullptr), E_INVALIDARG);
}

TEST_F(Server, LocalesAndErrorTextsOfOpcAndTheSystem) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCCommon> common = Query<IOPCCommon>(server.get(), IID_IOPCCommon);
    ASSERT_TRUE(common);
    LCID locale = 0;
    EXPECT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x0800u);
    EXPECT_EQ(common->SetLocaleID(0x0407), E_INVALIDARG);  // German: no texts
    EXPECT_EQ(common->SetLocaleID(0x0409), S_OK);
    DWORD count = 0;
    LCID *locales = nullptr;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &locales), S_OK);
    EXPECT_EQ(count == 2 ? Hex(locales[0]) + Hex(locales[1]) : "", "0000080000000409");
    CoTaskMemFree(locales);

    const auto text = [&](HRESULT code) {
        LPOLESTR found = nullptr;
        const HRESULT result = common->GetErrorString(code, &found);
        const std::string shown = result == S_OK ? Narrow(found) : Hex(result);
        CoTaskMemFree(found);
        return shown;
    };
    EXPECT_EQ(text(OPC_E_UNKNOWNITEMID), "The item is not defined in the server's address space.");
    // The system's own text, in its own words (Wine words some differently).
    EXPECT_NE(text(E_INVALIDARG).find("aramete"), std::string::npos);
    EXPECT_EQ(text(static_cast<HRESULT>(0xC004FFFF)), "80070057");
    LPOLESTR found = nullptr;
    EXPECT_EQ(server->GetErrorString(OPC_E_BADRIGHTS, 0x0407, &found), E_INVALIDARG);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(common->SetClientName(nullptr), E_INVALIDARG);
}

TEST_F(Server, BrowsingAFlatNameSpaceWithFilters) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowseServerAddressSpace> browse =
        Query<IOPCBrowseServerAddressSpace>(server.get(), IID_IOPCBrowseServerAddressSpace);
    ASSERT_TRUE(browse);
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    EXPECT_EQ(browse->QueryOrganization(&organization), S_OK);
    EXPECT_EQ(organization, OPC_NS_FLAT);

    const std::string all = "Pump1 Pump2 Valve Tank.Level";
    struct Case {
        OPCBROWSETYPE type;
        const char *filter;
        VARTYPE vt;
        DWORD rights;
        std::string listed;  // the names, "(none)", or the failure
    } cases[] = {
        {OPC_LEAF, nullptr, VT_EMPTY, 0, all},
        {OPC_BRANCH, "", VT_EMPTY, 0, "(none)"},
        {OPC_FLAT, "Pump#", VT_EMPTY, 0, "Pump1 Pump2"},
        {OPC_FLAT, "?a*[!0-9]", VT_EMPTY, 0, "Valve Tank.Level"},  // the star gives back what it took
        {OPC_FLAT, "[TV]*", VT_EMPTY, 0, "Valve Tank.Level"},
        {OPC_FLAT, "Pump[12", VT_EMPTY, 0, Hex(OPC_E_INVALIDFILTER)},
        // A data type filter lists what AddItems would take with that type; an
        // access rights filter wants any one of its rights.
        {OPC_FLAT, "", VT_R8, OPC_READABLE | OPC_WRITEABLE, all},
        {OPC_FLAT, "", VT_NULL, 0, "(none)"},
        {OPC_FLAT, "", VT_EMPTY, OPC_WRITEABLE, "(none)"},
        {static_cast<OPCBROWSETYPE>(9), "", VT_EMPTY, 0, Hex(E_INVALIDARG)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.filter != nullptr ? c.filter : "(null)");
        IEnumString *names = nullptr;
        const OleText filter = Ole(c.filter != nullptr ? c.filter : "");
        const HRESULT result =
            browse->BrowseOPCItemIDs(c.type, c.filter != nullptr ? filter.c_str() : nullptr, c.vt, c.rights, &names);
        const std::string listed = Listed(names);
        EXPECT_EQ(FAILED(result) ? Hex(result) : result == S_FALSE ? "(none)" + listed : listed, c.listed);
    }

    LPOLESTR id = nullptr;
    OleText valve = Ole("Valve");
    ASSERT_EQ(browse->GetItemID(&valve[0], &id), S_OK);
    EXPECT_EQ(Narrow(id), "Valve");
    CoTaskMemFree(id);
    OleText unknown = Ole("Boiler");
    EXPECT_EQ(browse->GetItemID(&unknown[0], &id), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, valve.c_str()), E_FAIL);
    IEnumString *paths = reinterpret_cast<IEnumString *>(1);
    EXPECT_EQ(browse->BrowseAccessPaths(valve.c_str(), &paths), E_NOTIMPL);
    EXPECT_EQ(paths, nullptr);
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

    TaskOut<LPOLESTR> newIds;
    TaskOut<HRESULT> lookups;
    ASSERT_EQ(properties->LookupItemIDs(&valve[0], 2, wanted, &newIds.items, &lookups.items), S_FALSE);
    EXPECT_EQ(Hex(lookups[0]) + Hex(lookups[1]), Hex(OPC_E_INVALID_PID) + Hex(OPC_E_INVALID_PID));
    EXPECT_EQ(newIds[0], nullptr);

    OleText unknown = Ole("Boiler");
    OleText empty = Ole("");
    // A failed call hands out nothing, whatever the out pointers held before.
    VARIANT *none = reinterpret_cast<VARIANT *>(1);
    HRESULT *noErrors = reinterpret_cast<HRESULT *>(1);
    EXPECT_EQ(properties->GetItemProperties(&unknown[0], 1, wanted, &none, &noErrors), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(noErrors, nullptr);
    EXPECT_EQ(properties->GetItemProperties(&empty[0], 1, wanted, &none, &noErrors), OPC_E_INVALIDITEMID);
    EXPECT_EQ(properties->GetItemProperties(&valve[0], 0, wanted, &none, &noErrors), E_INVALIDARG);
}

// Group names: unique, made up when not given; found, enumerated, removed.
TEST_F(Server, GroupsAreNamedFoundEnumeratedAndRemoved) {
    Ref<IOPCServer> server = Connect();
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown *first = nullptr;
    EXPECT_EQ(server->AddGroup(Ole("Fast").c_str(), TRUE, 10, 1, nullptr, nullptr, 0x0800, &handle, &revised,
                               IID_IOPCGroupStateMgt, &first),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 50u);
    IUnknown *second = nullptr;
    OPCHANDLE secondHandle = 0;
    EXPECT_EQ(server->AddGroup(Ole("Fast").c_str(), TRUE, 1000, 2, nullptr, nullptr, 0, &secondHandle, &revised,
                               IID_IOPCItemMgt, &second),
              OPC_E_DUPLICATENAME);
    EXPECT_EQ(secondHandle, 0u);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(server->AddGroup(nullptr, TRUE, 1000, 2, nullptr, nullptr, 0, &secondHandle, &revised, IID_IOPCItemMgt,
                               &second),
              S_OK);
    IUnknown *none = nullptr;
    OPCHANDLE refused = 0;
    EXPECT_EQ(server->AddGroup(Ole("X").c_str(), TRUE, 1000, 2, nullptr, nullptr, 0, &refused, &revised, IID_IOPCServer,
                               &none),
              E_NOINTERFACE);
    FLOAT deadband = 101;
    EXPECT_EQ(server->AddGroup(Ole("Y").c_str(), TRUE, 1000, 2, nullptr, &deadband, 0, &refused, &revised,
                               IID_IOPCItemMgt, &none),
              E_INVALIDARG);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(none, nullptr);

    IEnumString *names = nullptr;
    ASSERT_EQ(
        server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumString, reinterpret_cast<IUnknown **>(&names)),
        S_OK);
    EXPECT_EQ(Listed(names), "Fast Group1");
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumUnknown, &none), S_FALSE);
    none->Release();

    IUnknown *found = nullptr;
    ASSERT_EQ(server->GetGroupByName(Ole("Group1").c_str(), IID_IUnknown, &found), S_OK);
    EXPECT_EQ(found, Query<IUnknown>(second, IID_IUnknown).get());
    found->Release();
    EXPECT_EQ(server->GetGroupByName(Ole("Slow").c_str(), IID_IUnknown, &found), E_INVALIDARG);

    // Still referenced by the client: removed from the table, alive until released.
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), E_INVALIDARG);
    first->Release();
    second->Release();
    // Released by the client: gone (the toolkit's thread may hold it for a moment).
    const HRESULT removed = server->RemoveGroup(secondHandle, FALSE);
    EXPECT_TRUE(removed == S_OK || removed == OPC_S_INUSE) << Hex(removed);
    EXPECT_EQ(server->GetGroupByName(Ole("Group1").c_str(), IID_IUnknown, &found), E_INVALIDARG);
}

// However the allocator reuses a released client's memory, the client's
// handle never names a later client: a call through it changes nobody. The
// factory's loSetState right after creation changes nothing a client sees;
// its reason is what the shutdown request carries when the service goes.
struct Finishes {
    std::mutex lock;
    std::vector<loClient *> clients;
    static void Record(void *self, loService *, loClient *client) {
        Finishes &finishes = *static_cast<Finishes *>(self);
        std::lock_guard<std::mutex> held(finishes.lock);
        finishes.clients.push_back(client);
    }
};

TEST_F(Server, ReleasedClientsNameNoLaterOneAndTheServiceAsksLiveOnesToShutDown) {
    Finishes finishes;
    std::vector<loClient *> released;
    for (int round = 0; round <= 20; ++round) {
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, &kVendor, Finishes::Record, &finishes), 0);
        EXPECT_EQ(loSetState(service, client, 1, 1, "Finished by client"), 0);
        released.push_back(client);
        if (round < 20) {
            EXPECT_EQ(client->Release(), 0u);
        }
    }
    loClient *live = released.back();
    released.pop_back();
    // The end of a session names the client by the handle its creator got.
    EXPECT_EQ(finishes.clients, released);
    for (loClient *gone : released) {
        EXPECT_NE(gone, live);
        EXPECT_EQ(loSetState(service, gone, 1, 1, "Stale"), EINVAL);
    }

    Ref<IConnectionPointContainer> container = Query<IConnectionPointContainer>(live, IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    EXPECT_EQ(live->Release(), 1u);
    IConnectionPoint *point = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point, nullptr);
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    Sink &sink = NewSink();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown *>(&sink), &cookie), S_OK);
    EXPECT_EQ(sink.Count(), 0u);
    ASSERT_EQ(loServiceDestroy(service), 0);
    service = nullptr;
    EXPECT_EQ(sink.Line(1), "shutdown Finished by client");
    // The client lets go as asked: the session ends.
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    point->Release();
    container.reset();
    EXPECT_EQ(finishes.clients.size(), released.size() + 1);
    EXPECT_EQ(finishes.clients.back(), live);
}

}  // namespace
