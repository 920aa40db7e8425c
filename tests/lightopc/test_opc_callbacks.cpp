// Subscriptions and asynchronous calls: what reaches a client's
// IOPCDataCallback or (Data Access 1.0a) IAdviseSink, from the toolkit's
// thread, after cache updates; and clients that vanish.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "liveness.h"
#include "opc_client.h"
#include "platform/data_transfer.h"

namespace {

using namespace opc_test;

class Callbacks : public OpcTest {
protected:
    // Holds the toolkit's thread of the session inside a callback of blocker
    // (a group with an active item) until the lock returned is released: work
    // queued meanwhile waits for sure. An empty lock when the thread never came.
    std::unique_lock<std::mutex> HoldToolkitThread(IUnknown *blocker) {
        std::unique_lock<std::mutex> closed(gate_);
        Sink &blocking = NewSink();
        blocking.onChange = [this] {
            inside_ = true;
            std::lock_guard<std::mutex> wait(gate_);
        };
        Advise(blocker, blocking);
        if (!WaitFor([this] { return inside_.load(); })) closed.unlock();
        return closed;
    }

private:
    std::mutex gate_;
    std::atomic<bool> inside_{false};
};

// (That a group lets its sink go, the OpcTest fixture checks at its end.)
TEST_F(Callbacks, DataChangesCarryTheLatestValuesOfTheActiveItemsThatChanged) {
    Update(1, 10);
    Update(2, 20);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> blocker = AddGroup(server.get(), "Blocker", 50, 1);
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 9);
    std::string errors;
    AddItems(blocker.get(), {"Tank.Level"}, &errors);
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2", "Valve"}, &errors);
    OPCHANDLE valve[] = {handles[2]};
    HRESULT *failures = nullptr;
    ASSERT_EQ(group->SetActiveState(1, valve, FALSE, &failures), S_OK);
    CoTaskMemFree(failures);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    // The first data change reports every active item.
    EXPECT_EQ(sink.Line(1), "change t0 g9 00000000/00000000 101=I2:10/qC0 102=I2:20/qC0");
    Update(2, 21);
    Update(3, 1);  // inactive: not reported
    EXPECT_EQ(sink.Line(2), "change t0 g9 00000000/00000000 102=I2:21/qC0");
    // The same value again is no change; a new quality is one.
    Update(2, 21);
    Update(1, 10, OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(sink.Line(3), "change t0 g9 00000001/00000000 101=I2:10/q18");
    // Changes made while the session's thread is busy go together, with the
    // latest values.
    {
        std::unique_lock<std::mutex> closed = HoldToolkitThread(blocker.get());
        ASSERT_TRUE(closed.owns_lock());
        Update(1, 2);
        Update(2, 7);
        Update(1, 3);
    }
    EXPECT_EQ(sink.Line(4), "change t0 g9 00000000/00000000 101=I2:3/qC0 102=I2:7/qC0");
    // An item made active reports its value at the next change.
    ASSERT_EQ(group->SetActiveState(1, valve, TRUE, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(sink.Line(5), "change t0 g9 00000000/00000000 103=I2:1/qC0");
}

// An inactive group, a disabled one and one removed by force while its client
// holds it send nothing; a call with no callback to answer through is refused.
// The groups left are enumerated and found by name.
TEST_F(Callbacks, InactiveDisabledOrRemovedGroupsSendNoDataChanges) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> quiet = AddGroup(server.get(), "Quiet", 50, 1, FALSE);
    Ref<IOPCItemMgt> loud = AddGroup(server.get(), "Loud", 50, 2);
    OPCHANDLE handle = 0;
    Ref<IOPCItemMgt> removed = AddGroup(server.get(), "Removed", 50, 4, TRUE, &handle);
    std::string errors;
    std::vector<OPCHANDLE> quietItems = AddItems(quiet.get(), {"Pump1"}, &errors);
    AddItems(loud.get(), {"Pump1"}, &errors);
    AddItems(removed.get(), {"Pump1"}, &errors);
    DWORD cancel = 0;
    HRESULT *failures = nullptr;
    EXPECT_EQ(Query<IOPCAsyncIO2>(quiet.get(), IID_IOPCAsyncIO2)->Read(1, quietItems.data(), 1, &cancel, &failures),
              CONNECT_E_NOCONNECTION);
    Sink &quietSink = NewSink();
    Sink &loudSink = NewSink();
    Sink &removedSink = NewSink();
    Advise(quiet.get(), quietSink);
    Advise(loud.get(), loudSink);
    Advise(removed.get(), removedSink);
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(loud.get(), IID_IOPCAsyncIO2);
    EXPECT_EQ(loudSink.Line(1), "change t0 g2 00000001/00000000 101=I2:0/q8");
    EXPECT_EQ(removedSink.Line(1), "change t0 g4 00000001/00000000 101=I2:0/q8");
    EXPECT_EQ(server->RemoveGroup(handle, TRUE), S_OK);
    ASSERT_EQ(async->SetEnable(FALSE), S_OK);
    Update(1, 5);
    // A witness group, subscribed after the update, proves the update has been
    // seen by the toolkit's thread; its next change comes after any the others would send.
    Ref<IOPCItemMgt> witness = AddGroup(server.get(), "Witness", 50, 3);
    AddItems(witness.get(), {"Pump1"}, &errors);
    Sink &witnessSink = NewSink();
    Advise(witness.get(), witnessSink);
    EXPECT_EQ(witnessSink.Line(1), "change t0 g3 00000000/00000000 101=I2:5/qC0");
    Update(1, 6);
    EXPECT_EQ(witnessSink.Line(2), "change t0 g3 00000000/00000000 101=I2:6/qC0");
    EXPECT_EQ(quietSink.Count(), 0u);
    EXPECT_EQ(loudSink.Count(), 1u);
    EXPECT_EQ(removedSink.Count(), 1u);
    // Enabled again: the last value that changed since the last callback.
    ASSERT_EQ(async->SetEnable(TRUE), S_OK);
    EXPECT_EQ(loudSink.Line(2), "change t0 g2 00000000/00000000 101=I2:6/qC0");
}

// The toolkit's thread is held inside another group's callback while a
// group's transactions wait: a read can then be cancelled for sure, and a
// transaction once accepted is answered for the items of the call, even when
// they are removed or deactivated meanwhile.
TEST_F(Callbacks, TransactionsAcceptedOrCancelledWhileTheToolkitThreadIsBusy) {
    Update(1, 70);
    Update(2, 5);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> blocker = AddGroup(server.get(), "Blocker", 50, 1);
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 60000, 2);
    std::string errors;
    AddItems(blocker.get(), {"Valve"}, &errors);
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2"}, &errors);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    EXPECT_EQ(sink.Line(1), "change t0 g2 00000000/00000000 101=I2:70/qC0 102=I2:5/qC0");

    std::unique_lock<std::mutex> closed = HoldToolkitThread(blocker.get());
    ASSERT_TRUE(closed.owns_lock());
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    Ref<IOPCAsyncIO3> async3 = Query<IOPCAsyncIO3>(group.get(), IID_IOPCAsyncIO3);
    ASSERT_TRUE(async3);
    DWORD cancel = 0;
    HRESULT *failures = nullptr;
    ASSERT_EQ(async->Read(1, &handles[1], 21, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(async->Cancel2(cancel), S_OK);
    EXPECT_EQ(async->Cancel2(cancel), E_FAIL);
    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 77, &cancel), S_OK);
    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(async->Write(1, &handles[1], &value, 32, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    DWORD ages[] = {0};
    ASSERT_EQ(async3->ReadMaxAge(1, handles.data(), ages, 41, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    OPCITEMVQT vqt{};
    VariantInit(&vqt.vDataValue);
    ASSERT_EQ(async3->WriteVQT(1, handles.data(), &vqt, 42, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    ASSERT_EQ(async3->RefreshMaxAge(0xFFFFFFFF, 43, &cancel), S_OK);
    ASSERT_EQ(group->RemoveItems(1, &handles[0], &failures), S_OK);
    CoTaskMemFree(failures);
    ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, &failures), S_OK);
    CoTaskMemFree(failures);
    closed.unlock();
    const std::string both = " 101=I2:70/qC0 102=I2:5/qC0";
    EXPECT_EQ(sink.Line(2), "cancel t21 g2");
    EXPECT_EQ(sink.Line(3), "change t77 g2 00000000/00000000" + both);
    EXPECT_EQ(sink.Line(4), "write t32 g2 00000001 102=" + Hex(OPC_E_BADRIGHTS));
    EXPECT_EQ(sink.Line(5), "read t41 g2 00000000/00000000 101=I2:70/qC0");
    EXPECT_EQ(sink.Line(6), "write t42 g2 00000001 101=" + Hex(OPC_E_BADRIGHTS));
    EXPECT_EQ(sink.Line(7), "change t43 g2 00000000/00000000" + both);
    EXPECT_EQ(sink.Count(), 7u);  // the cancelled read never completes
    // Nothing active is left: a refresh would never be answered.
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 44, &cancel), E_FAIL);
}

// The process ends when it exits, even while a client's callback holds the
// toolkit's thread. (With no callback under way, every test program's exit
// collects the thread.)
TEST_F(Callbacks, TheProcessExitsWhileACallbackBlocks) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const auto exitDuringACallback = [this] {
        Ref<IOPCServer> server = Connect();
        Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 1);
        std::string errors;
        AddItems(group.get(), {"Pump1"}, &errors);
        Sink &sink = NewSink();
        std::atomic<bool> inside{false};
        std::mutex gate;
        std::unique_lock<std::mutex> closed(gate);
        sink.onChange = [&] {
            inside = true;
            std::lock_guard<std::mutex> wait(gate);
        };
        Advise(group.get(), sink);
        if (!WaitFor([&] { return inside.load(); })) std::_Exit(2);
        std::exit(0);
    };
    EXPECT_EXIT(exitDuringACallback(), ::testing::ExitedWithCode(0), "");
}

// A client whose callback blocks holds up its own deliveries only: the cache
// update that concerns both returns, and the other client's data change comes,
// from a thread in COM's multithreaded apartment (where a callback to another
// process may be made).
TEST_F(Callbacks, AClientWhoseCallbackBlocksHoldsUpOnlyItself) {
    Ref<IOPCServer> slow = Connect();
    Ref<IOPCServer> quick = Connect();
    Ref<IOPCItemMgt> slowGroup = AddGroup(slow.get(), "Slow", 50, 1);
    Ref<IOPCItemMgt> quickGroup = AddGroup(quick.get(), "Quick", 50, 2);
    std::string errors;
    AddItems(slowGroup.get(), {"Pump1"}, &errors);
    AddItems(quickGroup.get(), {"Pump1"}, &errors);
    std::unique_lock<std::mutex> closed = HoldToolkitThread(slowGroup.get());
    ASSERT_TRUE(closed.owns_lock());
    Sink &sink = NewSink();
    // Owned by the sink: the toolkit may call it until the test's objects are gone.
    auto apartment = std::make_shared<std::atomic<HRESULT>>(E_FAIL);
    sink.onChange = [apartment] {
        const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(joined)) CoUninitialize();
        *apartment = joined;
    };
    Advise(quickGroup.get(), sink);
    ASSERT_EQ(sink.Line(1), "change t0 g2 00000001/00000000 101=I2:0/q8");
    Update(1, 1);
    EXPECT_EQ(sink.Line(2), "change t0 g2 00000000/00000000 101=I2:1/qC0");
    EXPECT_EQ(Hex(apartment->load()), Hex(S_FALSE));  // already initialised, in the same apartment
}

// A client may let go of the very group that calls it back.
TEST_F(Callbacks, AClientMayReleaseItsGroupInsideACallback) {
    Ref<IOPCServer> server = Connect();
    OPCHANDLE serverGroup = 0;
    IOPCItemMgt *group = AddGroup(server.get(), "G", 50, 3, TRUE, &serverGroup).release();
    std::string errors;
    ASSERT_NE(AddItems(group, {"Pump1"}, &errors)[0], 0u);
    ASSERT_EQ(server->RemoveGroup(serverGroup, FALSE), OPC_S_INUSE);
    Sink &sink = NewSink();
    std::atomic<bool> released{false};
    sink.onChange = [&] {
        if (!released.exchange(true)) group->Release();
    };
    Advise(group, sink);
    ASSERT_TRUE(WaitFor([&] { return released.load() && sink.references.load() == 1; }));
    EXPECT_EQ(sink.Count(), 1u);
}

// Data Access 1.0a on groups: IOPCAsyncIO and the streams that reach a
// client's IAdviseSink, parsed back field by field. What the streams carry is
// what an IOPCDataCallback gets (pinned above); here, the layout of the
// streams and the routing through IDataObject's connections.
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

class DataAccess1 : public Callbacks {
protected:
    void SetUp() override {
        Callbacks::SetUp();
        disconnects = 0;
        disconnect_object = [](IUnknown *, DWORD) {
            ++disconnects;
            return S_OK;
        };
    }
    void TearDown() override {
        Callbacks::TearDown();
        for (StreamSink *sink : {&data, &dataTime, &writes})
            EXPECT_TRUE(WaitFor([&] { return sink->references == 1; }));
        disconnect_object = saved_;
    }

    HRESULT DAdvise(IUnknown *group, const wchar_t *format, StreamSink *sink, DWORD *connection) {
        Ref<IDataObject> object = Query<IDataObject>(group, IID_IDataObject);
        FORMATETC wanted{Format(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
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
        const OPCGROUPHEADER expected{static_cast<DWORD>(bytes.size()), 2, 9, 0, S_OK};
        EXPECT_EQ(std::memcmp(&header, &expected, sizeof header), 0);
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
    const struct {
        OPCGROUPHEADERWRITE header;
        OPCITEMHEADERWRITE items[2];
    } expected{{2, 5, id, S_FALSE}, {{101, OPC_E_BADRIGHTS}, {102, OPC_E_BADRIGHTS}}};
    const std::vector<BYTE> written = writes.Stream(1);
    ASSERT_EQ(written.size(), sizeof expected);
    EXPECT_EQ(std::memcmp(written.data(), &expected, sizeof expected), 0);

    Ref<IOPCItemMgt> blocker = AddGroup(server.get(), "Blocker", 50, 1);
    AddItems(blocker.get(), {"Valve"}, &errors);
    std::unique_lock<std::mutex> closed = HoldToolkitThread(blocker.get());
    ASSERT_TRUE(closed.owns_lock());
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

// A client that died answers its callbacks with an RPC failure (while dead
// is set). It keeps the item time a data change brings (the Sink does not).
class DeadSink final : public IOPCDataCallback, public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        *object = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IOPCDataCallback))
            *object = static_cast<IOPCDataCallback *>(this);
        if (IsEqualGUID(riid, IID_IOPCShutdown)) *object = static_cast<IOPCShutdown *>(this);
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE *, VARIANT *,
                                           WORD *, FILETIME *times, HRESULT *) override {
        if (count > 0) time = times[0].dwLowDateTime;
        return Answer();
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                             FILETIME *, HRESULT *) override {
        return Answer();
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) override {
        return Answer();
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return Answer(); }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCOLESTR) override { return Answer(); }

    std::atomic<ULONG> references{1};
    std::atomic<int> calls{0};
    std::atomic<bool> dead{true};
    std::atomic<DWORD> time{0};  // the first item's, of the last data change

private:
    HRESULT Answer() {
        ++calls;
        return dead ? static_cast<HRESULT>(0x800706BAL) : S_OK;
    }
};

// Stands in for the remote layer: holds the references of a client (by the
// identity of the object each is to), records what the toolkit disconnects
// and drops the reference to it, as the stubs of a dead client's connection
// would.
class DeadClients : public OpcTest {
protected:
    void SetUp() override {
        OpcTest::SetUp();
        disconnect_object = &Disconnect;
    }
    void TearDown() override {
        OpcTest::TearDown();
        disconnect_object = saved_;
        held_.clear();
        disconnected_.clear();
    }

    static void Hold(IUnknown *object) {
        std::lock_guard<std::mutex> guard(lock_);
        held_.emplace(Identity(object), object);
    }
    static std::vector<IUnknown *> Disconnected() {
        std::lock_guard<std::mutex> guard(lock_);
        return disconnected_;
    }
    // Advises sink on a server object's shutdown connection point.
    static void AdviseShutdown(IUnknown *server, IOPCShutdown *sink) {
        IConnectionPoint *point = nullptr;
        ASSERT_EQ(Query<IConnectionPointContainer>(server, IID_IConnectionPointContainer)
                      ->FindConnectionPoint(IID_IOPCShutdown, &point),
                  S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
        point->Release();
    }
    // The identity of object, as the toolkit names it to the remote layer.
    static IUnknown *Identity(IUnknown *object) { return Query<IUnknown>(object, IID_IUnknown).get(); }

private:
    static HRESULT Disconnect(IUnknown *object, DWORD) {
        IUnknown *reference = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            disconnected_.push_back(object);
            const auto found = held_.find(object);
            if (found != held_.end()) reference = found->second;
            if (found != held_.end()) held_.erase(found);
        }
        if (reference != nullptr) reference->Release();
        return S_OK;
    }

    HRESULT (*const saved_)(IUnknown *, DWORD) = disconnect_object;
    static inline std::mutex lock_;
    static inline std::map<IUnknown *, IUnknown *> held_;
    static inline std::vector<IUnknown *> disconnected_;
};

// The references of a vanished client are held by the remote layer: once no
// group of its session has a subscription that answers (a data change or a
// completion fails), the session's objects, and only they, are disconnected,
// and its final release comes.
TEST_F(DeadClients, AVanishedClientsSessionIsLetGoAndFinishes) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> first = AddGroup(server.get(), "First", 50, 1);
    Ref<IOPCItemMgt> second = AddGroup(server.get(), "Second", 50, 2);
    std::string errors;
    AddItems(first.get(), {"Pump1"}, &errors);
    std::vector<OPCHANDLE> handles = AddItems(second.get(), {"Pump1"}, &errors);
    const std::vector<IUnknown *> session = {Identity(first.get()), Identity(second.get()), Identity(server.get())};
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(second.get(), IID_IOPCAsyncIO2);
    DeadSink gone;
    DeadSink answering;
    answering.dead = false;
    Advise(second.get(), &answering);
    ASSERT_TRUE(WaitFor([&] { return answering.calls.load() == 1; }));
    Advise(first.get(), &gone);
    Hold(first.release());
    Hold(second.release());
    Hold(server.release());
    ASSERT_TRUE(WaitFor([&] { return gone.references.load() == 1; }));
    // A group that still answers keeps the session.
    Update(1, 5, OPC_QUALITY_GOOD, 55);
    ASSERT_TRUE(WaitFor([&] { return answering.calls.load() == 2; })) << answering.calls.load();
    EXPECT_EQ(answering.time.load(), 55u);
    EXPECT_TRUE(Disconnected().empty());
    EXPECT_EQ(finished.load(), 0);

    answering.dead = true;
    DWORD cancel = 0;
    HRESULT *failures = nullptr;
    ASSERT_EQ(async->Read(1, handles.data(), 1, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    async.reset();
    ASSERT_TRUE(WaitFor([&] { return finished.load() == 1; }));
    std::vector<IUnknown *> disconnected = Disconnected();
    ASSERT_EQ(disconnected.size(), 3u);
    EXPECT_EQ(disconnected.back(), session.back());  // the server object after its groups
    EXPECT_TRUE(std::is_permutation(disconnected.begin(), disconnected.end(), session.begin()));
    EXPECT_EQ(gone.calls.load(), 1);
    EXPECT_EQ(answering.references.load(), 1u);
}

// The service goes while clients hold groups with subscriptions: a shutdown
// request that finds its client gone lets the session go; one that is
// answered does not. (What a live client holds still reads the cache:
// test_lightopc pins that.)
TEST_F(DeadClients, TheServiceGoesWhileClientsHoldGroups) {
    Ref<IOPCServer> answering = Connect();
    Ref<IOPCServer> vanished = Connect();
    Ref<IOPCItemMgt> group = AddGroup(answering.get(), "G", 50, 4);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    EXPECT_EQ(sink.Line(1), "change t0 g4 00000001/00000000 101=I2:0/q8");
    DeadSink dead;
    AdviseShutdown(answering.get(), &sink);
    AdviseShutdown(vanished.get(), &dead);
    EXPECT_EQ(loServiceDestroy(service), 0);
    service = nullptr;
    EXPECT_EQ(sink.Line(2), "shutdown Finished by client");
    EXPECT_EQ(dead.calls.load(), 1);
    EXPECT_EQ(dead.references.load(), 1u);
    EXPECT_EQ(Disconnected(), std::vector<IUnknown *>{Identity(vanished.get())});
    group.reset();
    answering.reset();
    vanished.reset();
    EXPECT_EQ(finished.load(), 2);
}

}  // namespace
