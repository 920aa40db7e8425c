// Groups as an OPC client drives them: items added, checked, changed and
// removed; state and name; synchronous reads and refused writes.
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

TEST_F(Group, ItemsAreAddedWithTheirErrorsAndValidatedWithoutBeingAdded) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Boiler", "", "Valve"}, &errors);
    EXPECT_EQ(errors, "00000001 ok C0040007 C0040008 ok");
    EXPECT_NE(handles[0], handles[3]);
    AddItems(group.get(), {"Pump2"}, &errors, VT_BSTR);
    EXPECT_EQ(errors, "00000000 ok");

    OleText pump = Ole("Pump1");
    OleText unknown = Ole("Nowhere");
    OPCITEMDEF definitions[] = {{nullptr, &pump[0], TRUE, 1, 0, nullptr, VT_R8, 0},
                                {nullptr, &unknown[0], TRUE, 2, 0, nullptr, VT_EMPTY, 0}};
    TaskOut<OPCITEMRESULT> results;
    TaskOut<HRESULT> failures;
    ASSERT_EQ(group->ValidateItems(2, definitions, FALSE, &results.items, &failures.items), S_FALSE);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_I2);
    EXPECT_EQ(results[0].dwAccessRights, OPC_READABLE);
    EXPECT_EQ(results[0].hServer, 0u);  // nothing was added
    EXPECT_EQ(Hex(failures[1]), Hex(OPC_E_UNKNOWNITEMID));
    EXPECT_EQ(Attributes(group.get()), "00000001 Pump1:101:2 Valve:104:2 Pump2:101:8");
}

// Inactive items, and every item of an inactive group, read out of service
// from the cache; a device read ignores both.
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

    TaskOut<HRESULT> failures;
    OPCHANDLE first[] = {pumps[0], 31337};
    ASSERT_EQ(group->SetActiveState(2, first, FALSE, &failures.items), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + " " + Hex(failures[1]), "00000000 C0040001");
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, pumps), "00000000 101=I2:1234/q1C 102=I2:1234/qC0");
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_DEVICE, pumps), "00000000 101=I2:1234/qC0 102=I2:1234/qC0");
    BOOL inactive = FALSE;
    ASSERT_EQ(Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt)
                  ->SetState(nullptr, nullptr, &inactive, nullptr, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, pumps), "00000000 101=I2:1234/q1C 102=I2:1234/q1C");

    Ref<IOPCSyncIO> io = Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    OPCITEMSTATE *states = nullptr;
    HRESULT *none = nullptr;
    EXPECT_EQ(io->Read(OPC_DS_CACHE, 0, first, &states, &none), E_INVALIDARG);
    EXPECT_EQ(io->Read(static_cast<OPCDATASOURCE>(3), 1, first, &states, &none), E_INVALIDARG);
    EXPECT_EQ(states, nullptr);
    EXPECT_EQ(none, nullptr);
}

TEST_F(Group, WritesAreRefusedPerItemAndItemSettingsChange) {
    Update(1, 9);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Valve"}, &errors);
    handles.push_back(31337);
    Ref<IOPCSyncIO> io = Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    VARIANT values[3];
    for (VARIANT &value : values) {
        VariantInit(&value);
        V_VT(&value) = VT_I2;
    }
    HRESULT *failures = nullptr;
    ASSERT_EQ(io->Write(3, handles.data(), values, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + Hex(failures[1]) + Hex(failures[2]),
              Hex(OPC_E_BADRIGHTS) + Hex(OPC_E_BADRIGHTS) + Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    EXPECT_EQ(io->Write(3, handles.data(), nullptr, &failures), E_INVALIDARG);

    OPCHANDLE clients[] = {501, 502, 503};
    ASSERT_EQ(group->SetClientHandles(3, handles.data(), clients, &failures), S_FALSE);
    CoTaskMemFree(failures);
    VARTYPE types[] = {VT_R8, 0x7FF, VT_I4};
    ASSERT_EQ(group->SetDatatypes(3, handles.data(), types, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + Hex(failures[1]) + Hex(failures[2]),
              Hex(S_OK) + Hex(OPC_E_BADTYPE) + Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {handles[0], handles[1]}),
              "00000000 501=R8:9.000000/qC0 502=I2:0/q8");

    ASSERT_EQ(group->RemoveItems(3, handles.data(), &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[2]), Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {handles[0]}), "00000001 0=EMPTY/q0/C0040001");
    EXPECT_EQ(Attributes(group.get()), "00000001");
    EXPECT_EQ(group->RemoveItems(0, handles.data(), &failures), E_INVALIDARG);
    EXPECT_EQ(group->SetActiveState(1, nullptr, TRUE, &failures), E_INVALIDARG);
    EXPECT_EQ(failures, nullptr);
}

TEST_F(Group, StateIsReadRevisedRenamedAndCloned) {
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
        const HRESULT result = of->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &server);
        if (result != S_OK) return Hex(result);
        const std::string text = Narrow(name) + " " + std::to_string(rate) + "ms " + (active ? "active" : "inactive") +
                                 " bias" + std::to_string(bias) + " db" + std::to_string(static_cast<int>(deadband)) +
                                 " lcid" + std::to_string(locale) + " client" + std::to_string(client);
        CoTaskMemFree(name);
        return text;
    };
    EXPECT_EQ(shown(state.get()), "Main 250ms active bias0 db0 lcid1033 client33");

    DWORD requested = 20;
    DWORD revised = 0;
    LONG bias = -60;
    FLOAT deadband = 5;
    OPCHANDLE client = 44;
    EXPECT_EQ(state->SetState(&requested, &revised, nullptr, &bias, &deadband, nullptr, &client),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 50u);
    deadband = -1;
    EXPECT_EQ(state->SetState(nullptr, &revised, nullptr, nullptr, &deadband, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(shown(state.get()), "Main 50ms active bias-60 db5 lcid1033 client44");

    Ref<IOPCItemMgt> other = AddGroup(server.get(), "Other");
    EXPECT_EQ(state->SetName(Ole("Other").c_str()), OPC_E_DUPLICATENAME);
    EXPECT_EQ(state->SetName(Ole("").c_str()), E_INVALIDARG);
    EXPECT_EQ(state->SetName(Ole("Main").c_str()), S_OK);  // its own name is no duplicate

    IUnknown *cloned = nullptr;
    EXPECT_EQ(state->CloneGroup(Ole("Other").c_str(), IID_IOPCGroupStateMgt, &cloned), OPC_E_DUPLICATENAME);
    EXPECT_EQ(cloned, nullptr);
    ASSERT_EQ(state->CloneGroup(Ole("Copy").c_str(), IID_IOPCGroupStateMgt, &cloned), S_OK);
    Ref<IOPCGroupStateMgt> copy(static_cast<IOPCGroupStateMgt *>(cloned));
    EXPECT_EQ(shown(copy.get()), "Copy 50ms inactive bias-60 db5 lcid1033 client44");
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
    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    IUnknown *cloned = nullptr;
    EXPECT_EQ(state->CloneGroup(nullptr, IID_IUnknown, &cloned), E_FAIL);
    EXPECT_EQ(cloned, nullptr);
}

}  // namespace
