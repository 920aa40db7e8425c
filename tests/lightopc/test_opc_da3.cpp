// The Data Access 3.0 interfaces as a client drives them in process: browsing
// in pages, properties, reads by maximum age, refused writes, the keep-alive.
#include "opc_client.h"

namespace {

using namespace opc_test;

using Da3 = OpcTest;

// A browse page as "RESULT name(flags)[props] ... | more=M cp=yes|no".
struct Page {
    std::string text;
    LPOLESTR continuation;
};

Page BrowsePage(IOPCBrowse *browse, LPOLESTR continuation, DWORD max, BOOL allProperties = FALSE) {
    OleText none = Ole("");
    BOOL more = TRUE;
    DWORD count = 99;
    OPCBROWSEELEMENT *elements = nullptr;
    const HRESULT result = browse->Browse(&none[0], &continuation, max, OPC_BROWSE_FILTER_ALL, &none[0], &none[0],
                                          allProperties, TRUE, 0, nullptr, &more, &count, &elements);
    Page page{Hex(result), continuation};
    for (DWORD k = 0; k < count; ++k) {
        OPCBROWSEELEMENT &element = elements[k];
        EXPECT_EQ(Narrow(element.szName), Narrow(element.szItemID));
        page.text += " " + Narrow(element.szName) + "(" + std::to_string(element.dwFlagValue) + ")";
        const OPCITEMPROPERTIES &properties = element.ItemProperties;
        for (DWORD j = 0; j < properties.dwNumProperties; ++j) {
            OPCITEMPROPERTY &property = properties.pItemProperties[j];
            page.text += " " + std::to_string(property.dwPropertyID) + "=" + Shown(property.vValue);
        }
        FreeProperties(element.ItemProperties);
        CoTaskMemFree(element.szName);
        CoTaskMemFree(element.szItemID);
    }
    CoTaskMemFree(elements);
    page.text += std::string(" | more=") + (more ? "1" : "0") + " cp=" + (continuation != nullptr ? "yes" : "no");
    return page;
}

// A continuation point handed back is the server's to free; one it does not
// know is refused and stays the client's.
TEST_F(Da3, BrowsingInPagesResumesWhereThePageEnded) {
    Update(1, 42);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowse> browse = Query<IOPCBrowse>(server.get(), IID_IOPCBrowse);
    ASSERT_TRUE(browse);
    Page first = BrowsePage(browse.get(), nullptr, 3);
    EXPECT_EQ(first.text, "00000000 Pump1(2) Pump2(2) Valve(2) | more=0 cp=yes");
    EXPECT_EQ(BrowsePage(browse.get(), first.continuation, 3).text, "00000000 Tank.Level(2) | more=0 cp=no");
    LPOLESTR unknown = static_cast<LPOLESTR>(CoTaskMemAlloc(2 * sizeof(OLECHAR)));
    unknown[0] = 'x';
    unknown[1] = 0;
    Page refused = BrowsePage(browse.get(), unknown, 3);
    EXPECT_EQ(refused.text, Hex(OPC_E_INVALIDCONTINUATIONPOINT) + " | more=0 cp=yes");
    CoTaskMemFree(refused.continuation);

    // Every property, with its value, of each element.
    Page all = BrowsePage(browse.get(), nullptr, 1, TRUE);
    EXPECT_EQ(all.text,
              "00000000 Pump1(2) 1=I2:2 2=I2:42 3=I2:192 4=DATE:-109205.000000 5=I4:1 6=R4:500.000000 "
              "| more=0 cp=yes");
    CoTaskMemFree(all.continuation);
}

TEST_F(Da3, PropertiesListedAreAnsweredPerItemWithTheirErrors) {
    Update(3, 42);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowse> browse = Query<IOPCBrowse>(server.get(), IID_IOPCBrowse);
    OleText valve = Ole("Valve"), boiler = Ole("Boiler");
    LPOLESTR names[] = {&valve[0], &boiler[0]};
    DWORD ids[] = {OPC_PROP_VALUE, 99};
    TaskOut<OPCITEMPROPERTIES> results{nullptr, FreeProperties, 2};
    ASSERT_EQ(browse->GetProperties(2, names, TRUE, 2, ids, &results.items), S_FALSE);
    EXPECT_EQ(Hex(results[0].hrErrorID), Hex(S_FALSE));
    ASSERT_EQ(results[0].dwNumProperties, 2u);
    EXPECT_EQ(Shown(results[0].pItemProperties[0].vValue), "I2:42");
    EXPECT_EQ(Hex(results[0].pItemProperties[1].hrErrorID), Hex(OPC_E_INVALID_PID));
    EXPECT_EQ(Hex(results[1].hrErrorID), Hex(OPC_E_UNKNOWNITEMID));
    EXPECT_EQ(results[1].pItemProperties, nullptr);
}

// A read by age's four out arrays as "RESULT value/qQ[/error]/tTIME ...".
struct AgedRead {
    TaskOut<VARIANT> values{nullptr, [](VARIANT &value) { VariantClear(&value); }};
    TaskOut<WORD> qualities;
    TaskOut<FILETIME> times;
    TaskOut<HRESULT> errors;
    std::string Text(HRESULT result, DWORD count) {
        values.count = count;
        std::string text = Hex(result);
        for (DWORD k = 0; k < count && SUCCEEDED(result); ++k)
            text += ItemText(0, values[k], qualities[k], errors[k]) + "/t" + std::to_string(times[k].dwLowDateTime);
        return text;
    }
};

// The ages on either side: 0 (a device read) and any age; both from the cache,
// an inactive group's items too (not "out of service").
TEST_F(Da3, ReadsByMaximumAgeAnswerFromTheCacheWhateverTheAge) {
    Update(1, 11, OPC_QUALITY_GOOD, 7);
    Update(2, 22, OPC_QUALITY_COMM_FAILURE, 8);
    Ref<IOPCServer> server = Connect();
    DWORD ages[] = {0, 0xFFFFFFFF, 0};
    Ref<IOPCItemIO> io = Query<IOPCItemIO>(server.get(), IID_IOPCItemIO);
    ASSERT_TRUE(io);
    OleText pump1 = Ole("Pump1"), pump2 = Ole("Pump2"), boiler = Ole("Boiler");
    LPCOLESTR ids[] = {pump1.c_str(), pump2.c_str(), boiler.c_str()};
    AgedRead byId;
    EXPECT_EQ(byId.Text(io->Read(3, ids, ages, &byId.values.items, &byId.qualities.items, &byId.times.items,
                                 &byId.errors.items),
                        3),
              "00000001 0=I2:11/qC0/t7 0=I2:22/q18/t8 0=EMPTY/q0/" + Hex(OPC_E_UNKNOWNITEMID) + "/t0");

    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 1000, 5, FALSE);
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2"}, &errors, VT_I4, FALSE);
    handles.push_back(4040);
    Ref<IOPCSyncIO2> sync = Query<IOPCSyncIO2>(group.get(), IID_IOPCSyncIO2);
    ASSERT_TRUE(sync);
    AgedRead byHandle;
    EXPECT_EQ(byHandle.Text(sync->ReadMaxAge(3, handles.data(), ages, &byHandle.values.items, &byHandle.qualities.items,
                                             &byHandle.times.items, &byHandle.errors.items),
                            3),
              "00000001 0=I4:11/qC0/t7 0=I4:22/q18/t8 0=EMPTY/q0/" + Hex(OPC_E_INVALIDHANDLE) + "/t0");
}

// Nothing is written: each item says so.
TEST_F(Da3, WritesAreRefusedPerItem) {
    Ref<IOPCServer> server = Connect();
    OPCITEMVQT vqt[2] = {};
    for (OPCITEMVQT &one : vqt) VariantInit(&one.vDataValue);
    Ref<IOPCItemIO> io = Query<IOPCItemIO>(server.get(), IID_IOPCItemIO);
    OleText pump1 = Ole("Pump1"), boiler = Ole("Boiler");
    LPCOLESTR ids[] = {pump1.c_str(), boiler.c_str()};
    TaskOut<HRESULT> byId;
    ASSERT_EQ(io->WriteVQT(2, ids, vqt, &byId.items), S_FALSE);
    EXPECT_EQ(Hex(byId[0]) + " " + Hex(byId[1]), Hex(OPC_E_BADRIGHTS) + " " + Hex(OPC_E_UNKNOWNITEMID));
    // A group's write with quality and time (IOPCSyncIO2) likewise.
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1"}, &errors);
    TaskOut<HRESULT> byHandle;
    ASSERT_EQ(Query<IOPCSyncIO2>(group.get(), IID_IOPCSyncIO2)->WriteVQT(1, handles.data(), vqt, &byHandle.items),
              S_FALSE);
    EXPECT_EQ(Hex(byHandle[0]), Hex(OPC_E_BADRIGHTS));
}

// With no data change for the keep-alive time, an empty one goes.
TEST_F(Da3, KeepAlivesComeWhenNoDataChangeWentForTheKeepAliveTime) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 5);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    Ref<IOPCGroupStateMgt2> state = Query<IOPCGroupStateMgt2>(group.get(), IID_IOPCGroupStateMgt2);
    ASSERT_TRUE(state);
    DWORD revised = 0;
    EXPECT_EQ(state->SetKeepAlive(300, &revised), S_OK);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    ASSERT_EQ(sink.Line(2), "change t0 g5 00000000/00000000");  // after the first data change
}

}  // namespace
