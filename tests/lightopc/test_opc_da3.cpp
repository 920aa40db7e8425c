// The Data Access 3.0 interfaces as a client drives them in process: browsing
// in pages, reads by maximum age, refused writes, the keep-alive and the
// deadbands; and a Data Access 2.05a answer a conformance client checks.
#include "opc_client.h"

namespace {

using namespace opc_test;

using Da3 = OpcTest;

// A browse page as "RESULT name(flags)[props] ... | more=M cp=yes|no".
struct Page {
    HRESULT result;
    std::string text;
    LPOLESTR continuation;
};

Page BrowsePage(IOPCBrowse *browse, LPOLESTR continuation, DWORD max, OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL,
                const char *name = "", const char *item = "", BOOL allProperties = FALSE, DWORD idCount = 0,
                DWORD *ids = nullptr) {
    OleText nameText = Ole(name);
    OleText itemText = Ole(item);
    OleText vendor = Ole("ignored");
    BOOL more = TRUE;
    DWORD count = 99;
    OPCBROWSEELEMENT *elements = nullptr;
    Page page{browse->Browse(&itemText[0], &continuation, max, filter, &nameText[0], &vendor[0], allProperties, TRUE,
                             idCount, ids, &more, &count, &elements),
              "", continuation};
    page.text = Hex(page.result);
    for (DWORD k = 0; k < count; ++k) {
        OPCBROWSEELEMENT &element = elements[k];
        EXPECT_EQ(Narrow(element.szName), Narrow(element.szItemID));
        page.text += " " + Narrow(element.szName) + "(" + std::to_string(element.dwFlagValue) + ")";
        const OPCITEMPROPERTIES &properties = element.ItemProperties;
        if (properties.dwNumProperties != 0) page.text += "[" + Hex(properties.hrErrorID);
        for (DWORD j = 0; j < properties.dwNumProperties; ++j) {
            OPCITEMPROPERTY &property = properties.pItemProperties[j];
            page.text += " " + std::to_string(property.dwPropertyID) + "=" +
                         (property.hrErrorID == S_OK ? Shown(property.vValue) : Hex(property.hrErrorID));
        }
        if (properties.dwNumProperties != 0) page.text += "]";
        FreeProperties(element.ItemProperties);
        CoTaskMemFree(element.szName);
        CoTaskMemFree(element.szItemID);
    }
    CoTaskMemFree(elements);
    if (FAILED(page.result)) {
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(elements, nullptr);
    }
    page.text += std::string(" | more=") + (more ? "1" : "0") + " cp=" + (continuation != nullptr ? "yes" : "no");
    return page;
}

TEST_F(Da3, BrowsingInPagesResumesWhereThePageEnded) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowse> browse = Query<IOPCBrowse>(server.get(), IID_IOPCBrowse);
    ASSERT_TRUE(browse);
    Page first = BrowsePage(browse.get(), nullptr, 3);
    EXPECT_EQ(first.text, "00000000 Pump1(2) Pump2(2) Valve(2) | more=0 cp=yes");
    // The continuation point is the client's to free once handed back: a copy goes in.
    LPOLESTR again = static_cast<LPOLESTR>(CoTaskMemAlloc((Narrow(first.continuation).size() + 1) * sizeof(OLECHAR)));
    std::copy(first.continuation, first.continuation + Narrow(first.continuation).size() + 1, again);
    Page second = BrowsePage(browse.get(), first.continuation, 3);
    EXPECT_EQ(second.text, "00000000 Tank.Level(2) | more=0 cp=no");
    // Used once, it is stale; an unknown one is refused alike, and stays the client's.
    Page stale = BrowsePage(browse.get(), again, 3);
    EXPECT_EQ(stale.text, Hex(OPC_E_INVALIDCONTINUATIONPOINT) + " | more=0 cp=yes");
    CoTaskMemFree(stale.continuation);

    // Filters: no branches in a flat space, the element-name wildcards of the 2.05a browse
    // (test_opc_server pins the wildcards themselves).
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, OPC_BROWSE_FILTER_BRANCHES).text, "00000000 | more=0 cp=no");
    Page filtered = BrowsePage(browse.get(), nullptr, 1, OPC_BROWSE_FILTER_ITEMS, "Pump*");
    EXPECT_EQ(filtered.text, "00000000 Pump1(2) | more=0 cp=yes");
    EXPECT_EQ(BrowsePage(browse.get(), filtered.continuation, 1, OPC_BROWSE_FILTER_ITEMS, "Pump*").text,
              "00000000 Pump2(2) | more=0 cp=no");
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, OPC_BROWSE_FILTER_ALL, "Pump[1").text,
              Hex(OPC_E_INVALIDFILTER) + " | more=0 cp=no");
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, static_cast<OPCBROWSEFILTER>(4)).text,
              Hex(E_INVALIDARG) + " | more=0 cp=no");
    // A tag is a leaf: nothing below it; an unknown one is an error.
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, OPC_BROWSE_FILTER_ALL, "", "Valve").text, "00000000 | more=0 cp=no");
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, OPC_BROWSE_FILTER_ALL, "", "Boiler").text,
              Hex(OPC_E_UNKNOWNITEMID) + " | more=0 cp=no");
    // A Data Access 2.05a point a conformance client checks (the other one, a
    // forced removal of a group the client holds, is in test_opc_callbacks):
    // the item id of an empty name is the root's, empty.
    Ref<IOPCBrowseServerAddressSpace> space =
        Query<IOPCBrowseServerAddressSpace>(server.get(), IID_IOPCBrowseServerAddressSpace);
    OleText empty = Ole("");
    TaskOut<OLECHAR> root;
    ASSERT_EQ(space->GetItemID(&empty[0], &root.items), S_OK);
    EXPECT_EQ(Narrow(root.items), "");

    // Properties per element, all of them or the listed ones, each with its error.
    Update(3, 42);
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, OPC_BROWSE_FILTER_ITEMS, "Valve", "", TRUE).text,
              "00000000 Valve(2)[00000000 1=I2:2 2=I2:42 3=I2:192 4=DATE:-109205.000000 5=I4:1 6=R4:500.000000] "
              "| more=0 cp=no");
    DWORD ids[] = {OPC_PROP_VALUE, 99};
    EXPECT_EQ(BrowsePage(browse.get(), nullptr, 0, OPC_BROWSE_FILTER_ITEMS, "Valve", "", FALSE, 2, ids).text,
              "00000000 Valve(2)[00000001 2=I2:42 99=" + Hex(OPC_E_INVALID_PID) + "] | more=0 cp=no");
}

TEST_F(Da3, PropertiesOfSeveralItemsWithTheirErrors) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowse> browse = Query<IOPCBrowse>(server.get(), IID_IOPCBrowse);
    OleText valve = Ole("Valve"), boiler = Ole("Boiler"), empty = Ole("");
    LPOLESTR names[] = {&valve[0], &boiler[0], &empty[0]};
    DWORD ids[] = {OPC_PROP_CDT, OPC_PROP_RIGHTS};
    TaskOut<OPCITEMPROPERTIES> results{nullptr, FreeProperties, 3};
    ASSERT_EQ(browse->GetProperties(3, names, FALSE, 2, ids, &results.items), S_FALSE);
    EXPECT_EQ(results[0].hrErrorID, S_OK);
    ASSERT_EQ(results[0].dwNumProperties, 2u);
    EXPECT_EQ(results[0].pItemProperties[1].dwPropertyID, static_cast<DWORD>(OPC_PROP_RIGHTS));
    EXPECT_EQ(V_VT(&results[0].pItemProperties[1].vValue), VT_EMPTY);  // no values asked for
    EXPECT_EQ(Hex(results[1].hrErrorID), Hex(OPC_E_UNKNOWNITEMID));
    EXPECT_EQ(Hex(results[2].hrErrorID), Hex(OPC_E_INVALIDITEMID));
    EXPECT_EQ(results[1].pItemProperties, nullptr);
    // No ids: all six.
    TaskOut<OPCITEMPROPERTIES> all{nullptr, FreeProperties, 1};
    ASSERT_EQ(browse->GetProperties(1, names, TRUE, 0, nullptr, &all.items), S_OK);
    EXPECT_EQ(all[0].dwNumProperties, 6u);
    OPCITEMPROPERTIES *none = reinterpret_cast<OPCITEMPROPERTIES *>(1);
    EXPECT_EQ(browse->GetProperties(0, names, TRUE, 0, nullptr, &none), E_INVALIDARG);
    EXPECT_EQ(none, nullptr);
}

// Four arrays of a read by age as "RESULT value/qQ/tTIME[/error] ...": read
// gets the four out pointers.
template <class Read>
std::string ReadByAge(DWORD count, Read read) {
    struct AgedOut {
        TaskOut<VARIANT> values;
        TaskOut<WORD> qualities;
        TaskOut<FILETIME> times;
        TaskOut<HRESULT> errors;
        std::string Text(HRESULT result, DWORD count) {
            values.clear = [](VARIANT &value) { VariantClear(&value); };
            values.count = count;
            std::string text = Hex(result);
            if (FAILED(result)) {
                EXPECT_TRUE(values.items == nullptr && qualities.items == nullptr && times.items == nullptr &&
                            errors.items == nullptr);
                return text;
            }
            for (DWORD k = 0; k < count; ++k) {
                char quality[8];
                std::snprintf(quality, sizeof quality, "%X", qualities[k]);
                text += " " + Shown(values[k]) + "/q" + quality + "/t" + std::to_string(times[k].dwLowDateTime);
                if (errors[k] != S_OK) text += "/" + Hex(errors[k]);
            }
            return text;
        }
    } out;
    return out.Text(read(&out.values.items, &out.qualities.items, &out.times.items, &out.errors.items), count);
}

TEST_F(Da3, ReadsByMaximumAgeAnswerFromTheCacheWhateverTheAge) {
    Update(1, 11, OPC_QUALITY_GOOD, 7);
    Update(2, 22, OPC_QUALITY_COMM_FAILURE, 8);
    Ref<IOPCServer> server = Connect();
    // The boundaries: 0 (a device read), 1 ms (older: a device read), any age; all from the cache.
    DWORD ages[] = {0, 1, 0xFFFFFFFF, 60000};

    Ref<IOPCItemIO> io = Query<IOPCItemIO>(server.get(), IID_IOPCItemIO);
    ASSERT_TRUE(io);
    OleText pump1 = Ole("Pump1"), pump2 = Ole("Pump2"), boiler = Ole("Boiler"), empty = Ole("");
    LPCOLESTR ids[] = {pump1.c_str(), pump2.c_str(), boiler.c_str(), empty.c_str()};
    EXPECT_EQ(ReadByAge(4, [&](auto... out) { return io->Read(4, ids, ages, out...); }),
              "00000001 I2:11/qC0/t7 I2:22/q18/t8 EMPTY/q0/t0/" + Hex(OPC_E_UNKNOWNITEMID) + " EMPTY/q0/t0/" +
                  Hex(OPC_E_INVALIDITEMID));
    EXPECT_EQ(ReadByAge(4, [&](auto... out) { return io->Read(4, ids, nullptr, out...); }), Hex(E_INVALIDARG));

    // A group's items, in their requested type, inactive ones too (no "out of service").
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 1000, 5, FALSE);
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2", "Valve"}, &errors, VT_I4, FALSE);
    handles.push_back(4040);
    Ref<IOPCSyncIO2> sync = Query<IOPCSyncIO2>(group.get(), IID_IOPCSyncIO2);
    ASSERT_TRUE(sync);
    EXPECT_EQ(ReadByAge(4, [&](auto... out) { return sync->ReadMaxAge(4, handles.data(), ages, out...); }),
              "00000001 I4:11/qC0/t7 I4:22/q18/t8 I4:0/q8/t0 EMPTY/q0/t0/" + Hex(OPC_E_INVALIDHANDLE));
    EXPECT_EQ(ReadByAge(0, [&](auto... out) { return sync->ReadMaxAge(0, handles.data(), ages, out...); }),
              Hex(E_INVALIDARG));
}

TEST_F(Da3, WritesAreRefusedPerItemAndDeadbandsAreNotSupported) {
    Ref<IOPCServer> server = Connect();
    OPCITEMVQT vqt[2] = {};
    for (OPCITEMVQT &one : vqt) VariantInit(&one.vDataValue);
    Ref<IOPCItemIO> io = Query<IOPCItemIO>(server.get(), IID_IOPCItemIO);
    OleText pump1 = Ole("Pump1"), boiler = Ole("Boiler");
    LPCOLESTR ids[] = {pump1.c_str(), boiler.c_str()};
    TaskOut<HRESULT> byId;
    ASSERT_EQ(io->WriteVQT(2, ids, vqt, &byId.items), S_FALSE);
    EXPECT_EQ(Hex(byId[0]) + " " + Hex(byId[1]), Hex(OPC_E_BADRIGHTS) + " " + Hex(OPC_E_UNKNOWNITEMID));

    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2"}, &errors);
    handles.push_back(4040);
    Ref<IOPCSyncIO2> sync = Query<IOPCSyncIO2>(group.get(), IID_IOPCSyncIO2);
    Ref<IOPCItemDeadbandMgt> deadbands = Query<IOPCItemDeadbandMgt>(group.get(), IID_IOPCItemDeadbandMgt);
    ASSERT_TRUE(deadbands);
    FLOAT asked[] = {10, 101, 5};
    FLOAT *given = nullptr;
    const std::string badHandle = Hex(OPC_E_INVALIDHANDLE);
    const struct {
        const char *call;
        std::function<HRESULT(HRESULT **)> run;
        std::string expected;
    } rows[] = {
        {"WriteVQT", [&](HRESULT **e) { return sync->WriteVQT(3, handles.data(), vqt, e); },
         Hex(OPC_E_BADRIGHTS) + " " + Hex(OPC_E_BADRIGHTS) + " " + badHandle},
        {"SetItemDeadband", [&](HRESULT **e) { return deadbands->SetItemDeadband(3, handles.data(), asked, e); },
         Hex(OPC_E_DEADBANDNOTSUPPORTED) + " " + Hex(E_INVALIDARG) + " " + badHandle},
        {"GetItemDeadband", [&](HRESULT **e) { return deadbands->GetItemDeadband(3, handles.data(), &given, e); },
         Hex(OPC_E_DEADBANDNOTSUPPORTED) + " " + Hex(OPC_E_DEADBANDNOTSUPPORTED) + " " + badHandle},
        {"ClearItemDeadband", [&](HRESULT **e) { return deadbands->ClearItemDeadband(3, handles.data(), e); },
         Hex(OPC_E_DEADBANDNOTSET) + " " + Hex(OPC_E_DEADBANDNOTSET) + " " + badHandle},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.call);
        TaskOut<HRESULT> failures;
        ASSERT_EQ(row.run(&failures.items), S_FALSE);
        EXPECT_EQ(Hex(failures[0]) + " " + Hex(failures[1]) + " " + Hex(failures[2]), row.expected);
    }
    EXPECT_NE(given, nullptr);
    CoTaskMemFree(given);
    given = reinterpret_cast<FLOAT *>(1);
    HRESULT *failures = reinterpret_cast<HRESULT *>(1);
    EXPECT_EQ(deadbands->GetItemDeadband(0, handles.data(), &given, &failures), E_INVALIDARG);
    EXPECT_TRUE(given == nullptr && failures == nullptr);
}

TEST_F(Da3, KeepAlivesComeWhenNoDataChangeWentForTheKeepAliveTime) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 5);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    Ref<IOPCGroupStateMgt2> state = Query<IOPCGroupStateMgt2>(group.get(), IID_IOPCGroupStateMgt2);
    ASSERT_TRUE(state);
    DWORD revised = 1;
    EXPECT_EQ(state->SetKeepAlive(10, &revised), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 50u);  // the fastest rate
    constexpr DWORD kKeepAlive = 300;
    EXPECT_EQ(state->SetKeepAlive(kKeepAlive, &revised), S_OK);
    DWORD current = 0;
    EXPECT_EQ(state->GetKeepAlive(&current), S_OK);
    EXPECT_EQ(current, kKeepAlive);

    Sink &sink = NewSink();
    Advise(group.get(), sink);
    const std::string keepAlive = "change t0 g5 00000000/00000000";
    EXPECT_EQ(sink.Line(1), "change t0 g5 00000001/00000000 101=I2:0/q8");
    EXPECT_EQ(sink.Line(2), keepAlive);
    Update(1, 5);
    const std::string changed = "change t0 g5 00000000/00000000 101=I2:5/qC0";
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<std::string> lines = sink.Lines();
        return lines.size() >= 2 && lines[lines.size() - 2] == changed && lines.back() == keepAlive;
    }));
    // Each keep-alive at least the keep-alive time after the send before it,
    // data change or keep-alive; a data change goes when it comes.
    const std::vector<std::string> lines = sink.Lines();
    for (std::size_t n = 2; n <= lines.size(); ++n) {
        if (lines[n - 1] == keepAlive) {
            EXPECT_GE(sink.When(n) - sink.When(n - 1), std::chrono::milliseconds(kKeepAlive)) << "line " << n;
        } else {
            EXPECT_EQ(lines[n - 1], changed);
        }
    }

    EXPECT_EQ(state->SetKeepAlive(0, &revised), S_OK);
    EXPECT_EQ(revised, 0u);
    EXPECT_EQ(state->SetKeepAlive(100, nullptr), E_INVALIDARG);

    // An inactive group sends no keep-alive: by a witness's second one, its
    // first (due earlier, on the same delivery thread) would have gone.
    Ref<IOPCItemMgt> idle = AddGroup(server.get(), "I", 50, 7, FALSE);
    Ref<IOPCItemMgt> witness = AddGroup(server.get(), "W", 50, 8);
    Sink &idleSink = NewSink();
    Sink &witnessSink = NewSink();
    Advise(idle.get(), idleSink);
    Advise(witness.get(), witnessSink);
    EXPECT_EQ(Query<IOPCGroupStateMgt2>(idle.get(), IID_IOPCGroupStateMgt2)->SetKeepAlive(100, &revised), S_OK);
    EXPECT_EQ(Query<IOPCGroupStateMgt2>(witness.get(), IID_IOPCGroupStateMgt2)->SetKeepAlive(100, &revised), S_OK);
    ASSERT_TRUE(WaitFor([&] { return witnessSink.Count() >= 2; }));
    EXPECT_EQ(idleSink.Count(), 0u);
}

}  // namespace
