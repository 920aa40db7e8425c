// Data Access 1.0a on groups: IOPCAsyncIO and the streams that reach a
// client's IAdviseSink, parsed back field by field. What the streams carry is
// what an IOPCDataCallback gets (test_opc_callbacks pins that); here, the
// layout of the streams and the routing through IDataObject's connections.
#include <cstring>

#include "liveness.h"
#include "opc_client.h"
#include "platform/data_transfer.h"

namespace {

using namespace opc_test;

ULONGLONG Ticks(const FILETIME &time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

template <class T>
T At(const std::vector<BYTE> &bytes, std::size_t offset) {
    T value{};
    if (offset + sizeof value > bytes.size()) {
        ADD_FAILURE() << "read past the stream's end at " << offset;
        return value;
    }
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// A value at its offset: the VARIANT, and a text's byte count and characters after it.
std::string ValueAt(const std::vector<BYTE> &bytes, DWORD offset) {
    EXPECT_EQ(offset % 8, 0u);
    VARIANT value = At<VARIANT>(bytes, offset);
    if (V_VT(&value) != VT_BSTR) return Shown(value);
    EXPECT_EQ(value.bstrVal, nullptr);
    const std::size_t at = offset + sizeof(VARIANT);
    const DWORD length = At<DWORD>(bytes, at);
    EXPECT_LE(at + sizeof length + length + sizeof(OLECHAR), bytes.size());
    EXPECT_EQ(At<OLECHAR>(bytes, at + sizeof length + length), 0);
    std::string text;
    for (DWORD k = 0; k < length / sizeof(OLECHAR); ++k)
        text += static_cast<char>(At<OLECHAR>(bytes, at + sizeof length + k * sizeof(OLECHAR)));
    return "BSTR:" + text;
}

// A data stream (OPCSTMFORMATDATA, or with withTime OPCSTMFORMATDATATIME) as
// "tTRANSACTION gGROUP STATUS client=value/qQUALITY[/tTIME] ...".
std::string DataText(const std::vector<BYTE> &bytes, bool withTime) {
    const OPCGROUPHEADER header = At<OPCGROUPHEADER>(bytes, 0);
    EXPECT_EQ(header.dwSize, bytes.size());
    std::string text = "t" + std::to_string(header.dwTransactionID) + " g" + std::to_string(header.hClientGroup) + " " +
                       Hex(header.hrStatus);
    // An item's header with its time is the one without and the time after it.
    const std::size_t size = withTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
    for (DWORD k = 0; k < header.dwItemCount; ++k) {
        const auto item = At<OPCITEMHEADER2>(bytes, sizeof header + k * size);
        char quality[8];
        std::snprintf(quality, sizeof quality, "%X", item.wQuality);
        text += " " + std::to_string(item.hClient) + "=" + ValueAt(bytes, item.dwValueOffset) + "/q" + quality;
        if (withTime)
            text += "/t" + std::to_string(Ticks(At<OPCITEMHEADER1>(bytes, sizeof header + k * size).ftTimeStampItem));
    }
    return text;
}

// A write-complete stream as "tTRANSACTION gGROUP STATUS client=ERROR ...".
std::string WriteText(const std::vector<BYTE> &bytes) {
    const OPCGROUPHEADERWRITE header = At<OPCGROUPHEADERWRITE>(bytes, 0);
    EXPECT_EQ(bytes.size(), sizeof header + header.dwItemCount * sizeof(OPCITEMHEADERWRITE));
    std::string text = "t" + std::to_string(header.dwTransactionID) + " g" + std::to_string(header.hClientGroup) + " " +
                       Hex(header.hrStatus);
    for (DWORD k = 0; k < header.dwItemCount; ++k) {
        const auto item = At<OPCITEMHEADERWRITE>(bytes, sizeof header + k * sizeof(OPCITEMHEADERWRITE));
        text += " " + std::to_string(item.hClient) + "=" + Hex(item.dwError);
    }
    return text;
}

// A Data Access 1.0a client's advise sink: keeps each stream's bytes. With
// vanished set, the client is gone: whatever answers, answers so.
class StreamSink final : public IAdviseSink {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        *object = nullptr;
        if (vanished) return static_cast<HRESULT>(0x800706BAL);  // the RPC server is unavailable
        if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IAdviseSink)) return E_NOINTERFACE;
        *object = static_cast<IAdviseSink *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    void STDMETHODCALLTYPE OnDataChange(FORMATETC *format, STGMEDIUM *medium) override {
        ++calls;
        if (vanished) return;
        EXPECT_EQ(format->tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(medium->tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(medium->pUnkForRelease, nullptr);
        const BYTE *at = static_cast<const BYTE *>(GlobalLock(medium->hGlobal));
        std::vector<BYTE> bytes(at, at + GlobalSize(medium->hGlobal));
        GlobalUnlock(medium->hGlobal);
        lastFormat = format->cfFormat;
        std::lock_guard<std::mutex> held(lock);
        streams.push_back(std::move(bytes));
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker *) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    // Waits for the n-th stream (1-based): empty after the limit.
    std::vector<BYTE> Stream(std::size_t n) {
        std::vector<BYTE> found;
        WaitFor([&] {
            std::lock_guard<std::mutex> held(lock);
            if (streams.size() >= n) found = streams[n - 1];
            return streams.size() >= n;
        });
        return found;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> held(lock);
        return streams.size();
    }

    std::atomic<ULONG> references{1};
    std::atomic<int> calls{0};
    std::atomic<bool> vanished{false};
    std::mutex lock;
    std::atomic<CLIPFORMAT> lastFormat{0};
    std::vector<std::vector<BYTE>> streams;
};

CLIPFORMAT Format(const wchar_t *name) {
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name));
}

class DataAccess1 : public OpcTest {
protected:
    void SetUp() override {
        OpcTest::SetUp();
        disconnect_object = [](IUnknown *, DWORD) { return S_OK; };
    }
    void TearDown() override {
        OpcTest::TearDown();
        for (StreamSink *sink : {&data, &dataTime, &writes})
            EXPECT_TRUE(WaitFor([&] { return sink->references == 1; }));
        disconnect_object = saved_;
    }

    HRESULT DAdvise(IUnknown *group, const wchar_t *format, StreamSink *sink, DWORD *connection,
                    DWORD tymed = TYMED_HGLOBAL) {
        Ref<IDataObject> object = Query<IDataObject>(group, IID_IDataObject);
        FORMATETC wanted{Format(format), nullptr, DVASPECT_CONTENT, -1, tymed};
        return object->DAdvise(&wanted, ADVF_PRIMEFIRST, sink, connection);
    }

    StreamSink data;
    StreamSink dataTime;
    StreamSink writes;

private:
    HRESULT (*const saved_)(IUnknown *, DWORD) = disconnect_object;
};

TEST_F(DataAccess1, DataChangeStreamsCarryEachItemsValueQualityAndTime) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 9);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    AddItems(group.get(), {"Pump2"}, &errors, VT_BSTR);  // a text value follows its VARIANT; client handle 101 too
    DWORD connections[2] = {};
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATA", &data, &connections[0]), S_OK);
    ASSERT_EQ(DAdvise(group.get(), L"opcstmformatdatatime", &dataTime, &connections[1]), S_OK);  // names in any case
    EXPECT_NE(connections[0], connections[1]);
    ASSERT_FALSE(data.Stream(1).empty());
    ASSERT_FALSE(dataTime.Stream(1).empty());

    // One change, both formats; a bad quality leaves the stream's status alone.
    // Each stream's last holds both items: they come from one pass.
    const struct {
        SHORT value;
        DWORD quality;
        std::string streams[2];  // without times, with times
    } changes[] = {
        {-1042,
         OPC_QUALITY_GOOD,
         {"t0 g9 00000000 101=I2:-1042/qC0 101=BSTR:192/qC0",
          "t0 g9 00000000 101=I2:-1042/qC0/t65728 101=BSTR:192/qC0/t131264"}},
        {-1210,
         OPC_QUALITY_COMM_FAILURE,
         {"t0 g9 00000000 101=I2:-1210/q18 101=BSTR:24/q18",
          "t0 g9 00000000 101=I2:-1210/q18/t65560 101=BSTR:24/q18/t131096"}},
    };
    StreamSink *sinks[] = {&data, &dataTime};
    for (const auto &change : changes) {
        SCOPED_TRACE(change.quality);
        Update(1, change.value, change.quality, 0x10000 + change.quality);
        Update(2, static_cast<SHORT>(change.quality), change.quality, 0x20000 + change.quality);
        for (bool withTime : {false, true}) {
            StreamSink &sink = *sinks[withTime];
            EXPECT_TRUE(WaitFor([&] {
                return DataText(sink.Stream(sink.Count()), withTime) == change.streams[withTime];
            })) << DataText(sink.Stream(sink.Count()), withTime);
        }
    }
    EXPECT_EQ(data.lastFormat.load(), Format(L"OPCSTMFORMATDATA"));
    Ref<IDataObject> object = Query<IDataObject>(group.get(), IID_IDataObject);
    EXPECT_EQ(object->DUnadvise(connections[0]), S_OK);
    EXPECT_EQ(object->DUnadvise(connections[1]), S_OK);
    EXPECT_EQ(object->DUnadvise(connections[1]), OLE_E_NOCONNECTION);
}

// The session's thread is held inside another group's callback at the end,
// while a read waits: the read can then be cancelled for sure, and it never
// completes.
TEST_F(DataAccess1, AsyncReadsWritesRefreshesAndCancels) {
    std::mutex gate;  // outlives the groups that may call the sink holding it
    std::atomic<bool> inside{false};
    Update(1, 70);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 60000, 5);
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2"}, &errors, VT_I4);
    HRESULT *ignored = nullptr;
    ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, &ignored), S_OK);
    CoTaskMemFree(ignored);
    Ref<IOPCAsyncIO> async = Query<IOPCAsyncIO>(group.get(), IID_IOPCAsyncIO);
    ASSERT_TRUE(async);
    DWORD id = 99;
    HRESULT *failures = reinterpret_cast<HRESULT *>(&id);  // the call sets it, to null on failure
    VARIANT values[2];
    for (VARIANT &value : values) VariantInit(&value);

    // Nothing advised: nowhere to answer, and nothing handed out.
    EXPECT_EQ(async->Read(1, OPC_DS_CACHE, 2, handles.data(), &id, &failures), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(failures, nullptr);
    EXPECT_EQ(id, 0u);
    DWORD connection = 0;
    DWORD writeConnection = 0;
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATATIME", &dataTime, &connection), S_OK);
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATWRITECOMPLETE", &writes, &writeConnection), S_OK);
    // The active item, once advised.
    EXPECT_EQ(DataText(dataTime.Stream(1), true), "t0 g5 00000000 101=I4:70/qC0/t1");

    // Each call answers only through a connection of its kind.
    const struct {
        const char *name;
        HRESULT result;
        std::function<HRESULT()> call;
        bool perItem = true;  // whether the call hands out per-item errors
    } refusals[] = {
        {"read through the write sink", CONNECT_E_NOCONNECTION,
         [&] { return async->Read(writeConnection, OPC_DS_CACHE, 2, handles.data(), &id, &failures); }},
        {"write through a data sink", CONNECT_E_NOCONNECTION,
         [&] { return async->Write(connection, 2, handles.data(), values, &id, &failures); }},
        {"bad source", E_INVALIDARG,
         [&] { return async->Read(connection, static_cast<OPCDATASOURCE>(3), 2, handles.data(), &id, &failures); }},
        {"no items", E_INVALIDARG,
         [&] { return async->Read(connection, OPC_DS_CACHE, 0, handles.data(), &id, &failures); }},
        {"no values", E_INVALIDARG,
         [&] { return async->Write(writeConnection, 2, handles.data(), nullptr, &id, &failures); }},
        {"no transaction id", E_INVALIDARG, [&] { return async->Refresh(connection, OPC_DS_CACHE, nullptr); }, false},
        {"long done", E_FAIL, [&] { return async->Cancel(12345); }, false},
    };
    for (const auto &row : refusals) {
        SCOPED_TRACE(row.name);
        failures = reinterpret_cast<HRESULT *>(&id);
        EXPECT_EQ(Hex(row.call()), Hex(row.result));
        if (row.perItem) {
            EXPECT_EQ(failures, nullptr);
        }
    }

    // A read of the items named, inactive ones too (from the cache, out of
    // service: test_opc_group pins the qualities), with per-item errors.
    OPCHANDLE mixed[] = {handles[0], 4040, handles[1]};
    ASSERT_EQ(async->Read(connection, OPC_DS_CACHE, 3, mixed, &id, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[0]) + Hex(failures[1]) + Hex(failures[2]), Hex(S_OK) + Hex(OPC_E_INVALIDHANDLE) + Hex(S_OK));
    CoTaskMemFree(failures);
    EXPECT_EQ(DataText(dataTime.Stream(2), true),
              "t" + std::to_string(id) + " g5 00000000 101=I4:70/qC0/t1 102=I4:0/q1C/t0");

    // The tags are read-only: the completion refuses each item.
    ASSERT_EQ(async->Write(writeConnection, 2, handles.data(), values, &id, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(WriteText(writes.Stream(1)),
              "t" + std::to_string(id) + " g5 00000001 101=" + Hex(OPC_E_BADRIGHTS) + " 102=" + Hex(OPC_E_BADRIGHTS));
    // A Data Access 2.0 write is answered through its callback, not streamed.
    Sink &callback = NewSink();
    Advise(group.get(), callback);
    Ref<IOPCAsyncIO2> async2 = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    DWORD cancel = 0;
    ASSERT_EQ(async2->Write(2, handles.data(), values, 8, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(callback.Line(1), "write t8 g5 00000001 101=C0040006 102=C0040006");
    EXPECT_EQ(writes.Count(), 1u);

    // A refresh sends the active items, changed or not, under its own id.
    std::size_t seen = dataTime.Count();
    ASSERT_EQ(async->Refresh(connection, OPC_DS_DEVICE, &id), S_OK);
    EXPECT_EQ(DataText(dataTime.Stream(seen + 1), true), "t" + std::to_string(id) + " g5 00000000 101=I4:70/qC0/t1");

    // Cancels, with the session's thread held by another group's callback.
    std::unique_lock<std::mutex> closed(gate);
    Ref<IOPCItemMgt> blocker = AddGroup(server.get(), "Blocker", 50, 1);
    AddItems(blocker.get(), {"Valve"}, &errors);
    Sink &blocking = NewSink();
    blocking.onChange = [&] {
        inside = true;
        std::lock_guard<std::mutex> wait(gate);
    };
    Advise(blocker.get(), blocking);
    ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
    DWORD read = 0;
    ASSERT_EQ(async->Read(connection, OPC_DS_DEVICE, 1, handles.data(), &read, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(async2->Cancel2(read), E_FAIL);  // not a Data Access 2.0 transaction
    EXPECT_EQ(async->Cancel(read), S_OK);
    EXPECT_EQ(async->Cancel(read), E_FAIL);
    seen = dataTime.Count();
    ASSERT_EQ(async->Refresh(connection, OPC_DS_CACHE, &id), S_OK);
    closed.unlock();
    EXPECT_EQ(At<OPCGROUPHEADER>(dataTime.Stream(seen + 1), 0).dwTransactionID, id);

    ASSERT_EQ(group->SetActiveState(1, &handles[0], FALSE, &ignored), S_OK);
    CoTaskMemFree(ignored);
    EXPECT_EQ(async->Refresh(connection, OPC_DS_CACHE, &id), E_FAIL);  // nothing active
    EXPECT_EQ(id, 0u);
}

TEST_F(DataAccess1, DataObjectServesOnlyAdvisesOfTheStreamFormats) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 60000);
    DWORD connection = 7;
    const struct {
        const wchar_t *format;
        DWORD tymed;
        HRESULT result;
    } advises[] = {
        {L"CF_TEXT_OF_SOMEONE", TYMED_HGLOBAL, DV_E_FORMATETC},
        {L"OPCSTMFORMATDATA", TYMED_ISTREAM, DV_E_FORMATETC},
        {L"OPCSTMFORMATDATA", TYMED_HGLOBAL, S_OK},
        {L"OPCSTMFORMATDATA", TYMED_HGLOBAL, CONNECT_E_ADVISELIMIT},  // one sink a format
    };
    for (const auto &row : advises) {
        SCOPED_TRACE(std::to_string(row.tymed) + " " + std::to_string(row.result));
        EXPECT_EQ(Hex(DAdvise(group.get(), row.format, &data, &connection, row.tymed)), Hex(row.result));
        if (FAILED(row.result)) {
            EXPECT_EQ(connection, 0u);
        }
    }
    Ref<IDataObject> object = Query<IDataObject>(group.get(), IID_IDataObject);
    EXPECT_EQ(object->DAdvise(nullptr, 0, &data, &connection), E_INVALIDARG);
    // Only advises (the other methods just answer E_NOTIMPL): the
    // enumerators' out pointers are cleared.
    IEnumFORMATETC *formats = reinterpret_cast<IEnumFORMATETC *>(&connection);
    IEnumSTATDATA *advised = reinterpret_cast<IEnumSTATDATA *>(&connection);
    EXPECT_EQ(object->EnumFormatEtc(1, &formats), E_NOTIMPL);
    EXPECT_EQ(formats, nullptr);
    EXPECT_EQ(object->EnumDAdvise(&advised), E_NOTIMPL);
    EXPECT_EQ(advised, nullptr);
}

// OnDataChange answers nothing: the call after it tells that the client is
// gone, and its session ends though its write-complete sink (which hears
// nothing until the client writes) is still advised.
TEST_F(DataAccess1, ASinkWhoseClientIsGoneIsLetGo) {
    static std::atomic<int> disconnects{0};
    disconnect_object = [](IUnknown *, DWORD) {
        ++disconnects;
        return S_OK;
    };
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    DWORD connection = 0;
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATWRITECOMPLETE", &writes, &connection), S_OK);
    data.vanished = true;
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATA", &data, &connection), S_OK);
    ASSERT_TRUE(WaitFor([&] { return data.references == 1; }));
    Update(1, 2);
    Update(1, 3);
    Ref<IDataObject> object = Query<IDataObject>(group.get(), IID_IDataObject);
    EXPECT_EQ(object->DUnadvise(connection), OLE_E_NOCONNECTION);
    EXPECT_EQ(data.calls.load(), 1);
    EXPECT_TRUE(WaitFor([] { return disconnects.load() > 0; }));
    // Its format is free for a client that answers.
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATA", &dataTime, &connection), S_OK);
    EXPECT_EQ(DataText(dataTime.Stream(1), false), "t0 g7 00000000 101=I2:3/qC0");
}

}  // namespace
