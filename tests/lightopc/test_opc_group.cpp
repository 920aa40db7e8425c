// Groups as an OPC client drives them: items added, checked and changed;
// state and name; synchronous reads and refused writes.
#include "opc_client.h"

namespace {

using namespace opc_test;

using Group = OpcTest;

// What an item enumerator lists as "id:client:requested type ...", or its answer when it lists none.
std::string Attributes(IUnknown *group) {
    IEnumOPCItemAttributes *items = nullptr;
    HRESULT result = Query<IOPCItemMgt>(group, IID_IOPCItemMgt)
                         ->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&items));
    TaskOut<OPCITEMATTRIBUTES> attributes{nullptr, [](OPCITEMATTRIBUTES &a) {
                                              CoTaskMemFree(a.szItemID);
                                              CoTaskMemFree(a.szAccessPath);
                                          }};
    if (result == S_OK) result = items->Next(10, &attributes.items, &attributes.count);
    if (items != nullptr) items->Release();
    std::string listed = Hex(result);
    for (DWORD k = 0; k < attributes.count; ++k) {
        listed += " " + Narrow(attributes[k].szItemID) + ":" + std::to_string(attributes[k].hClient) + ":" +
                  std::to_string(attributes[k].vtRequestedDataType);
    }
    return listed;
}

TEST_F(Group, ItemsAreAddedWithTheirErrorsAndEnumerated) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    AddItems(group.get(), {"Pump1", "Boiler", "Valve"}, &errors, VT_BSTR);
    EXPECT_EQ(errors, "00000001 ok C0040007 ok");
    EXPECT_EQ(Attributes(group.get()), "00000001 Pump1:101:8 Valve:103:8");
}

// An inactive item reads out of service from the cache.
TEST_F(Group, SyncReadsComeFromTheCacheAsRequestedTypesAndOutOfServiceWhenInactive) {
    Update(1, 1234);
    Update(2, -1, OPC_QUALITY_COMM_FAILURE);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    const std::vector<OPCHANDLE> pumps = AddItems(group.get(), {"Pump1", "Pump1"}, &errors);
    const OPCHANDLE asReal = AddItems(group.get(), {"Pump1"}, &errors, VT_R8)[0];
    const OPCHANDLE asByte = AddItems(group.get(), {"Pump2"}, &errors, VT_UI1)[0];
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {asReal, 999}),
              "00000001 101=R8:1234.000000/qC0 0=EMPTY/q0/C0040001");
    // A value the requested type cannot hold: no value, a bad quality and the conversion's error.
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_DEVICE, {asByte}), "00000001 101=EMPTY/q0/8002000A");

    // No handles to read: refused, not followed.
    OPCITEMSTATE *states = nullptr;
    HRESULT *refused = nullptr;
    EXPECT_EQ(Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO)->Read(OPC_DS_CACHE, 1, nullptr, &states, &refused),
              E_INVALIDARG);

    TaskOut<HRESULT> failures;
    ASSERT_EQ(group->SetActiveState(1, const_cast<OPCHANDLE *>(pumps.data()), FALSE, &failures.items), S_OK);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, pumps), "00000000 101=I2:1234/q1C 102=I2:1234/qC0");
}

TEST_F(Group, WritesAreRefusedPerItemAndItemSettingsChange) {
    Update(1, 9);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Valve"}, &errors);
    handles.push_back(31337);
    VARIANT values[3] = {};
    HRESULT *failures = nullptr;
    ASSERT_EQ(Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO)->Write(3, handles.data(), values, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + Hex(failures[1]) + Hex(failures[2]),
              Hex(OPC_E_BADRIGHTS) + Hex(OPC_E_BADRIGHTS) + Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);

    OPCHANDLE clients[] = {501, 502, 503};
    ASSERT_EQ(group->SetClientHandles(3, handles.data(), clients, &failures), S_FALSE);
    CoTaskMemFree(failures);
    VARTYPE types[] = {VT_R8};
    ASSERT_EQ(group->SetDatatypes(1, handles.data(), types, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {handles[0], handles[1]}),
              "00000000 501=R8:9.000000/qC0 502=I2:0/q8");
}

// A rename and the settings a clone takes, its items with it.
TEST_F(Group, StateIsRevisedRenamedAndCloned) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "Main", 250, 33);
    std::string errors;
    AddItems(group.get(), {"Pump1", "Valve"}, &errors);
    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    const auto shown = [&](IOPCGroupStateMgt *of) {
        DWORD rate = 0;
        BOOL active = FALSE;
        LPOLESTR name = nullptr;
        LONG bias = 0;
        FLOAT deadband = 0;
        LCID locale = 0;
        OPCHANDLE client = 0;
        OPCHANDLE server = 0;
        EXPECT_EQ(of->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &server), S_OK);
        const std::string text = Narrow(name) + " " + std::to_string(rate) + "ms " + (active ? "active" : "inactive") +
                                 " db" + std::to_string(static_cast<int>(deadband)) + " client" +
                                 std::to_string(client);
        CoTaskMemFree(name);
        return text;
    };
    DWORD requested = 20;
    DWORD revised = 0;
    FLOAT deadband = 5;
    OPCHANDLE client = 44;
    EXPECT_EQ(state->SetState(&requested, &revised, nullptr, nullptr, &deadband, nullptr, &client),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 50u);
    EXPECT_EQ(state->SetName(Ole("Renamed").c_str()), S_OK);
    EXPECT_EQ(shown(state.get()), "Renamed 50ms active db5 client44");
    IUnknown *cloned = nullptr;
    ASSERT_EQ(state->CloneGroup(Ole("Copy").c_str(), IID_IOPCGroupStateMgt, &cloned), S_OK);
    Ref<IOPCGroupStateMgt> copy(static_cast<IOPCGroupStateMgt *>(cloned));
    EXPECT_EQ(shown(copy.get()), "Copy 50ms inactive db5 client44");
    EXPECT_EQ(Attributes(copy.get()), "00000001 Pump1:101:2 Valve:102:2");
}

// A group the client still holds keeps working after the client let its
// server go; the session ends with the server object.
TEST_F(Group, AGroupOutlivesItsServerObject) {
    Update(4, 3);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    const OPCHANDLE level = AddItems(group.get(), {"Tank.Level"}, &errors)[0];
    server.reset();
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {level}), "00000000 101=I2:3/qC0");
}

}  // namespace
