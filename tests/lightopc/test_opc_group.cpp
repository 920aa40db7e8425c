// Groups as an OPC client drives them: items added, checked, changed and
// removed; state and name; synchronous reads and refused writes.
#include "opc_client.h"

namespace {

using namespace opc_test;

using Group = OpcTest;

TEST_F(Group, ItemsAreAddedWithTheirErrorsAndValidatedWithoutBeingAdded) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Boiler", "", "Valve"}, &errors);
    EXPECT_EQ(errors, "00000001 ok C0040007 C0040008 ok");
    EXPECT_NE(handles[0], handles[3]);
    AddItems(group.get(), {"Pump2"}, &errors, VT_BSTR);
    EXPECT_EQ(errors, "00000000 ok");
    AddItems(group.get(), {"Pump2", "Pump2"}, &errors, 0x7FF);
    EXPECT_EQ(errors, "00000001 C0040004 C0040004");
    AddItems(group.get(), {"Pump2"}, &errors, VT_NULL);  // a value that is none
    EXPECT_EQ(errors, "00000001 C0040004");

    OleText pump = Ole("Pump1");
    OleText unknown = Ole("Nowhere");
    OPCITEMDEF definitions[] = {{nullptr, &pump[0], TRUE, 1, 0, nullptr, VT_R8, 0},
                                {nullptr, &unknown[0], TRUE, 2, 0, nullptr, VT_EMPTY, 0}};
    OPCITEMRESULT *results = nullptr;
    HRESULT *failures = nullptr;
    ASSERT_EQ(group->ValidateItems(2, definitions, FALSE, &results, &failures), S_FALSE);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_I2);
    EXPECT_EQ(results[0].dwAccessRights, OPC_READABLE);
    EXPECT_EQ(results[0].hServer, 0u);  // nothing was added
    EXPECT_EQ(Hex(failures[1]), Hex(OPC_E_UNKNOWNITEMID));
    CoTaskMemFree(results);
    CoTaskMemFree(failures);

    // The enumerator lists what is in the group.
    IEnumOPCItemAttributes *items = nullptr;
    ASSERT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&items)), S_OK);
    OPCITEMATTRIBUTES *attributes = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(items->Next(10, &attributes, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    std::string listed;
    for (ULONG k = 0; k < fetched; ++k) {
        listed += Narrow(attributes[k].szItemID) + ":" + std::to_string(attributes[k].hClient) + ":" +
                  std::to_string(attributes[k].vtRequestedDataType) + " ";
        CoTaskMemFree(attributes[k].szItemID);
        CoTaskMemFree(attributes[k].szAccessPath);
    }
    CoTaskMemFree(attributes);
    EXPECT_EQ(listed, "Pump1:101:2 Valve:104:2 Pump2:101:8 ");
    items->Release();
}

TEST_F(Group, SyncReadsComeFromTheCacheAsRequestedTypes) {
    Update(1, 1234);
    Update(2, -1, OPC_QUALITY_COMM_FAILURE);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    const OPCHANDLE pump1 = AddItems(group.get(), {"Pump1"}, &errors)[0];
    const OPCHANDLE asText = AddItems(group.get(), {"Pump1"}, &errors, VT_BSTR)[0];
    const OPCHANDLE asReal = AddItems(group.get(), {"Pump1"}, &errors, VT_R8)[0];
    const OPCHANDLE unsigned2 = AddItems(group.get(), {"Pump2"}, &errors, VT_UI2)[0];
    const OPCHANDLE asByte = AddItems(group.get(), {"Pump2"}, &errors, VT_UI1)[0];
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {pump1, asText, asReal, 999}),
              "00000001 101=I2:1234/qC0 101=BSTR:1234/qC0 101=R8:1234.000000/qC0 0=EMPTY/q0/C0040001");
    // -1 as VT_UI2 takes the bits over, as OLE Automation does; as VT_UI1 it overflows.
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_DEVICE, {unsigned2, asByte}),
              "00000001 101=UI2:65535/q18 101=EMPTY/q0/8002000A");

    Ref<IOPCSyncIO> io = Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    OPCITEMSTATE *states = nullptr;
    HRESULT *failures = nullptr;
    OPCHANDLE handles[] = {pump1};
    EXPECT_EQ(io->Read(OPC_DS_CACHE, 0, handles, &states, &failures), E_INVALIDARG);
    EXPECT_EQ(io->Read(static_cast<OPCDATASOURCE>(3), 1, handles, &states, &failures), E_INVALIDARG);
    EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, nullptr, &states, &failures), E_INVALIDARG);
    EXPECT_EQ(states, nullptr);
    EXPECT_EQ(failures, nullptr);
}

TEST_F(Group, InactiveGroupsAndItemsReadOutOfServiceFromTheCacheOnly) {
    Update(1, 5);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump1"}, &errors);
    HRESULT *failures = nullptr;
    OPCHANDLE first[] = {handles[0], handles[1] + 1};  // the second names no item of this group
    ASSERT_EQ(group->SetActiveState(2, first, FALSE, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + " " + Hex(failures[1]), "00000000 C0040001");
    CoTaskMemFree(failures);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, handles), "00000000 101=I2:5/q1C 102=I2:5/qC0");
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_DEVICE, handles), "00000000 101=I2:5/qC0 102=I2:5/qC0");

    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    BOOL inactive = FALSE;
    ASSERT_EQ(state->SetState(nullptr, nullptr, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, handles), "00000000 101=I2:5/q1C 102=I2:5/q1C");
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
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {handles[0]}), "00000000 101=I2:9/qC0");  // unchanged

    OPCHANDLE clients[] = {501, 502, 503};
    ASSERT_EQ(group->SetClientHandles(3, handles.data(), clients, &failures), S_FALSE);
    CoTaskMemFree(failures);
    VARTYPE types[] = {VT_R8, 0x7FF, VT_I4};
    ASSERT_EQ(group->SetDatatypes(3, handles.data(), types, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + Hex(failures[1]) + Hex(failures[2]),
              Hex(S_OK) + Hex(OPC_E_BADTYPE) + Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    VARTYPE none[] = {VT_NULL};
    ASSERT_EQ(group->SetDatatypes(1, &handles[1], none, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]), Hex(OPC_E_BADTYPE));
    CoTaskMemFree(failures);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {handles[0], handles[1]}),
              "00000000 501=R8:9.000000/qC0 502=I2:0/q8");

    ASSERT_EQ(group->RemoveItems(3, handles.data(), &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[2]), Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, {handles[0]}), "00000001 0=EMPTY/q0/C0040001");
    IEnumOPCItemAttributes *items = nullptr;
    EXPECT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&items)), S_FALSE);
    items->Release();
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
    // Any locale is kept for the client, though the texts stay English.
    LCID german = 0x0407;
    EXPECT_EQ(state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, &german, nullptr), S_OK);
    EXPECT_EQ(shown(state.get()), "Main 50ms active bias-60 db5 lcid1031 client44");

    Ref<IOPCItemMgt> other = AddGroup(server.get(), "Other");
    EXPECT_EQ(state->SetName(Ole("Other").c_str()), OPC_E_DUPLICATENAME);
    EXPECT_EQ(state->SetName(Ole("").c_str()), E_INVALIDARG);
    EXPECT_EQ(state->SetName(Ole("Renamed").c_str()), S_OK);
    EXPECT_EQ(state->SetName(Ole("Renamed").c_str()), S_OK);  // its own name is no duplicate

    IUnknown *cloned = nullptr;
    EXPECT_EQ(state->CloneGroup(Ole("Other").c_str(), IID_IOPCGroupStateMgt, &cloned), OPC_E_DUPLICATENAME);
    EXPECT_EQ(cloned, nullptr);
    ASSERT_EQ(state->CloneGroup(Ole("Copy").c_str(), IID_IOPCGroupStateMgt, &cloned), S_OK);
    Ref<IOPCGroupStateMgt> copy(static_cast<IOPCGroupStateMgt *>(cloned));
    EXPECT_EQ(shown(copy.get()), "Copy 50ms inactive bias-60 db5 lcid1031 client44");
    Ref<IOPCItemMgt> copyItems = Query<IOPCItemMgt>(copy.get(), IID_IOPCItemMgt);
    IEnumOPCItemAttributes *items = nullptr;
    ASSERT_EQ(copyItems->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&items)), S_OK);
    EXPECT_EQ(items->Skip(5), S_FALSE);  // two items, then the end
    items->Release();

    OPCSERVERSTATUS *status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwGroupCount, 3u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
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
