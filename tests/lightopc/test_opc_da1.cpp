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

template <class T>
T At(const std::vector<BYTE> &bytes, std::size_t offset) {
    T value{};
    EXPECT_LE(offset + sizeof value, bytes.size()) << "read past the stream's end";
    if (offset + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
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
        if (vanished) return;
        EXPECT_EQ(medium->tymed, static_cast<DWORD>(TYMED_HGLOBAL));
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

    std::atomic<ULONG> references{1};
    std::atomic<bool> vanished{false};
    std::atomic<CLIPFORMAT> lastFormat{0};
    std::mutex lock;
    std::vector<std::vector<BYTE>> streams;
};

CLIPFORMAT Format(const wchar_t *name) {
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name));
}

class DataAccess1 : public OpcTest {
protected:
    void SetUp() override {
        OpcTest::SetUp();
        disconnects = 0;
        disconnect_object = [](IUnknown *, DWORD) {
            ++disconnects;
            return S_OK;
        };
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

    static inline std::atomic<int> disconnects{0};
    StreamSink data;
    StreamSink dataTime;
    StreamSink writes;

private:
    HRESULT (*const saved_)(IUnknown *, DWORD) = disconnect_object;
};

// Every field of a stream of each data format, once: a text value follows
// its VARIANT with its byte count before and a terminator after it; a bad
// quality leaves the group's status alone.
TEST_F(DataAccess1, DataStreamsCarryEachItemsValueQualityAndTime) {
    Update(1, -1042, OPC_QUALITY_GOOD, 0x10001);
    Update(2, 192, OPC_QUALITY_COMM_FAILURE, 0x20002);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 9);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    AddItems(group.get(), {"Pump2"}, &errors, VT_BSTR);  // client handle 101 too
    DWORD connection = 0;
    EXPECT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATA", &data, &connection, TYMED_ISTREAM), DV_E_FORMATETC);
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATA", &data, &connection), S_OK);
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATATIME", &dataTime, &connection), S_OK);
    const WORD qualities[] = {OPC_QUALITY_GOOD, OPC_QUALITY_COMM_FAILURE};
    const ULONGLONG times[] = {0x10001, 0x20002};
    for (bool withTime : {false, true}) {
        SCOPED_TRACE(withTime);
        StreamSink &sink = withTime ? dataTime : data;
        const std::vector<BYTE> bytes = sink.Stream(1);
        EXPECT_EQ(sink.lastFormat.load(), Format(withTime ? L"OPCSTMFORMATDATATIME" : L"OPCSTMFORMATDATA"));
        const auto header = At<OPCGROUPHEADER>(bytes, 0);
        EXPECT_EQ(header.dwSize, bytes.size());
        EXPECT_EQ(header.dwItemCount, 2u);
        EXPECT_EQ(header.hClientGroup, 9u);
        EXPECT_EQ(header.dwTransactionID, 0u);
        EXPECT_EQ(header.hrStatus, S_OK);
        // An item's header with its time is the one without and the time after it.
        const std::size_t size = withTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
        DWORD offsets[2] = {};
        for (DWORD k = 0; k < 2; ++k) {
            const auto item = At<OPCITEMHEADER2>(bytes, sizeof header + k * size);
            EXPECT_EQ(item.hClient, 101u);
            EXPECT_EQ(item.wQuality, qualities[k]);
            EXPECT_EQ(item.dwValueOffset % 8, 0u);
            offsets[k] = item.dwValueOffset;
            if (withTime) {
                const FILETIME time = At<OPCITEMHEADER1>(bytes, sizeof header + k * size).ftTimeStampItem;
                EXPECT_EQ((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime, times[k]);
            }
        }
        EXPECT_EQ(Shown(At<VARIANT>(bytes, offsets[0])), "I2:-1042");
        const VARIANT text = At<VARIANT>(bytes, offsets[1]);
        EXPECT_EQ(V_VT(&text), VT_BSTR);
        EXPECT_EQ(text.bstrVal, nullptr);
        const std::size_t at = offsets[1] + sizeof(VARIANT);
        EXPECT_EQ(At<DWORD>(bytes, at), 3 * sizeof(OLECHAR));
        std::string characters;
        for (std::size_t k = 0; k < 4; ++k)
            characters += static_cast<char>(At<OLECHAR>(bytes, at + sizeof(DWORD) + k * sizeof(OLECHAR)));
        EXPECT_EQ(characters, std::string("192", 4));
    }
}

// Each call answers only through a connection of its kind, under its own
// transaction id. The session's thread is held inside another group's
// callback while a read waits: the read can then be cancelled for sure, and
// it never completes.
TEST_F(DataAccess1, AsyncCallsAnswerThroughTheirConnectionAndCancelsHold) {
    std::mutex gate;  // outlives the groups that may call the sink holding it
    std::atomic<bool> inside{false};
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 60000, 5);
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2"}, &errors);
    Ref<IOPCAsyncIO> async = Query<IOPCAsyncIO>(group.get(), IID_IOPCAsyncIO);
    ASSERT_TRUE(async);
    DWORD connection = 0;
    DWORD writeConnection = 0;
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATATIME", &dataTime, &connection), S_OK);
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATWRITECOMPLETE", &writes, &writeConnection), S_OK);
    ASSERT_FALSE(dataTime.Stream(1).empty());
    DWORD id = 0;
    HRESULT *failures = nullptr;
    VARIANT values[2];
    for (VARIANT &value : values) VariantInit(&value);
    EXPECT_EQ(async->Read(writeConnection, OPC_DS_CACHE, 2, handles.data(), &id, &failures), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(async->Write(connection, 2, handles.data(), values, &id, &failures), CONNECT_E_NOCONNECTION);

    // The tags are read-only: the completion refuses each item.
    ASSERT_EQ(async->Write(writeConnection, 2, handles.data(), values, &id, &failures), S_OK);
    CoTaskMemFree(failures);
    const std::vector<BYTE> written = writes.Stream(1);
    const auto header = At<OPCGROUPHEADERWRITE>(written, 0);
    EXPECT_EQ(written.size(), sizeof header + 2 * sizeof(OPCITEMHEADERWRITE));
    EXPECT_EQ(header.dwItemCount, 2u);
    EXPECT_EQ(header.hClientGroup, 5u);
    EXPECT_EQ(header.dwTransactionID, id);
    EXPECT_EQ(header.hrStatus, S_FALSE);
    for (DWORD k = 0; k < 2; ++k) {
        const auto item = At<OPCITEMHEADERWRITE>(written, sizeof header + k * sizeof(OPCITEMHEADERWRITE));
        EXPECT_EQ(item.hClient, 101 + k);
        EXPECT_EQ(Hex(item.dwError), Hex(OPC_E_BADRIGHTS));
    }

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
    OPCHANDLE mixed[] = {handles[0], 4040};
    ASSERT_EQ(async->Read(connection, OPC_DS_CACHE, 2, mixed, &read, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[1]), Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    ASSERT_EQ(async->Read(connection, OPC_DS_DEVICE, 1, handles.data(), &id, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(async->Cancel(id), S_OK);
    EXPECT_EQ(async->Cancel(id), E_FAIL);
    ASSERT_EQ(async->Refresh(connection, OPC_DS_CACHE, &id), S_OK);
    closed.unlock();
    const auto first = At<OPCGROUPHEADER>(dataTime.Stream(2), 0);
    EXPECT_EQ(first.dwTransactionID, read);
    EXPECT_EQ(first.dwItemCount, 1u);
    EXPECT_EQ(At<OPCGROUPHEADER>(dataTime.Stream(3), 0).dwTransactionID, id);
}

// OnDataChange answers nothing: the call after it tells that the client is
// gone, and its session ends though its write-complete sink (which hears
// nothing until the client writes) is still advised.
TEST_F(DataAccess1, ASinkWhoseClientIsGoneIsLetGo) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    DWORD connection = 0;
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATWRITECOMPLETE", &writes, &connection), S_OK);
    data.vanished = true;
    ASSERT_EQ(DAdvise(group.get(), L"OPCSTMFORMATDATA", &data, &connection), S_OK);
    EXPECT_TRUE(WaitFor([&] { return data.references == 1; }));
    EXPECT_TRUE(WaitFor([] { return disconnects.load() > 0; }));
}

}  // namespace
