// Subscriptions and asynchronous calls: what reaches a client's
// IOPCDataCallback, from the toolkit's thread, after cache updates.
#include <cstdlib>

#include "opc_client.h"

namespace {

using namespace opc_test;

class Callbacks : public OpcTest {
protected:
    // Advises sink on group; returns the cookie.
    DWORD Advise(IUnknown *group, Sink &sink) {
        Ref<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(group, IID_IConnectionPointContainer);
        IConnectionPoint *point = nullptr;
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(static_cast<IOPCDataCallback *>(&sink), &cookie), S_OK);
        point->Release();
        return cookie;
    }
    void Unadvise(IUnknown *group, DWORD cookie) {
        Ref<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(group, IID_IConnectionPointContainer);
        IConnectionPoint *point = nullptr;
        ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        point->Release();
    }

    // Holds the toolkit's thread inside a callback of blocker (a group with an
    // active item) until the lock returned is released: work queued meanwhile
    // waits for sure. An empty lock when the thread never came.
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

TEST_F(Callbacks, DataChangesCarryOnlyTheActiveItemsThatChanged) {
    Update(1, 10);
    Update(2, 20);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 9);
    std::string errors;
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
    // An item made active reports its value at the next change.
    ASSERT_EQ(group->SetActiveState(1, valve, TRUE, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(sink.Line(4), "change t0 g9 00000000/00000000 103=I2:1/qC0");
    EXPECT_EQ(sink.references.load(), 2u);
    group.reset();
    server.reset();
    EXPECT_EQ(sink.references.load(), 1u);  // the group let its sink go
}

TEST_F(Callbacks, InactiveOrDisabledGroupsSendNoDataChanges) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> quiet = AddGroup(server.get(), "Quiet", 50, 1, FALSE);
    Ref<IOPCItemMgt> loud = AddGroup(server.get(), "Loud", 50, 2);
    std::string errors;
    AddItems(quiet.get(), {"Pump1"}, &errors);
    AddItems(loud.get(), {"Pump1"}, &errors);
    Sink &quietSink = NewSink();
    Sink &loudSink = NewSink();
    Advise(quiet.get(), quietSink);
    Advise(loud.get(), loudSink);
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(loud.get(), IID_IOPCAsyncIO2);
    EXPECT_EQ(loudSink.Line(1), "change t0 g2 00000001/00000000 101=I2:0/q8");
    ASSERT_EQ(async->SetEnable(FALSE), S_OK);
    BOOL enabled = TRUE;
    EXPECT_EQ(async->GetEnable(&enabled), S_OK);
    EXPECT_EQ(enabled, FALSE);
    Update(1, 5);
    // The loud group now stands for "nothing sent": a third group, subscribed
    // after the update, proves the update has been seen by the toolkit's thread.
    Ref<IOPCItemMgt> witness = AddGroup(server.get(), "Witness", 50, 3);
    AddItems(witness.get(), {"Pump1"}, &errors);
    Sink &witnessSink = NewSink();
    Advise(witness.get(), witnessSink);
    EXPECT_EQ(witnessSink.Line(1), "change t0 g3 00000000/00000000 101=I2:5/qC0");
    Update(1, 6);
    EXPECT_EQ(witnessSink.Line(2), "change t0 g3 00000000/00000000 101=I2:6/qC0");
    EXPECT_EQ(quietSink.Count(), 0u);
    EXPECT_EQ(loudSink.Count(), 1u);
    // Enabled again: the last value that changed since the last callback.
    ASSERT_EQ(async->SetEnable(TRUE), S_OK);
    EXPECT_EQ(loudSink.Line(2), "change t0 g2 00000000/00000000 101=I2:6/qC0");
}

TEST_F(Callbacks, AsynchronousReadsWritesAndRefreshes) {
    Update(1, 70);
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 60000, 5);
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1", "Pump2"}, &errors, VT_I4);
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    DWORD cancel = 0;
    HRESULT *failures = nullptr;
    // No callback connected: nowhere to complete.
    EXPECT_EQ(async->Read(2, handles.data(), 1, &cancel, &failures), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(failures, nullptr);
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 1, &cancel), CONNECT_E_NOCONNECTION);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    EXPECT_EQ(sink.Line(1), "change t0 g5 00000001/00000000 101=I4:70/qC0 102=I4:0/q8");

    OPCHANDLE mixed[] = {handles[1], 4040};
    ASSERT_EQ(async->Read(2, mixed, 11, &cancel, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[1]), Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
    EXPECT_NE(cancel, 0u);
    EXPECT_EQ(sink.Line(2), "read t11 g5 00000001/00000000 102=I4:0/q8");

    VARIANT values[2];
    for (VARIANT &value : values) VariantInit(&value);
    ASSERT_EQ(async->Write(2, handles.data(), values, 12, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(sink.Line(3), "write t12 g5 00000001 101=C0040006 102=C0040006");

    // A refresh sends every active item, changed or not.
    ASSERT_EQ(async->Refresh2(OPC_DS_DEVICE, 13, &cancel), S_OK);
    EXPECT_EQ(sink.Line(4), "change t13 g5 00000001/00000000 101=I4:70/qC0 102=I4:0/q8");
    HRESULT *ignored = nullptr;
    ASSERT_EQ(group->SetActiveState(2, handles.data(), FALSE, &ignored), S_OK);
    CoTaskMemFree(ignored);
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 14, &cancel), E_FAIL);  // nothing active
    EXPECT_EQ(async->Cancel2(cancel), E_FAIL);                      // long done
    EXPECT_EQ(async->Refresh2(static_cast<OPCDATASOURCE>(0), 14, &cancel), E_INVALIDARG);
}

// The toolkit's thread is held inside one group's callback while another
// group's read waits: the read can then be cancelled for sure.
TEST_F(Callbacks, CancelledReadsCompleteWithOnCancelComplete) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> blocker = AddGroup(server.get(), "Blocker", 50, 1);
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 60000, 2);
    std::string errors;
    AddItems(blocker.get(), {"Pump1"}, &errors);
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump2"}, &errors);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    EXPECT_EQ(sink.Line(1), "change t0 g2 00000001/00000000 101=I2:0/q8");

    std::unique_lock<std::mutex> closed = HoldToolkitThread(blocker.get());
    ASSERT_TRUE(closed.owns_lock());
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    DWORD cancel = 0;
    HRESULT *failures = nullptr;
    ASSERT_EQ(async->Read(1, handles.data(), 21, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(async->Cancel2(cancel), S_OK);
    EXPECT_EQ(async->Cancel2(cancel), E_FAIL);
    closed.unlock();
    EXPECT_EQ(sink.Line(2), "cancel t21 g2");
    EXPECT_EQ(sink.Count(), 2u);
}

// A transaction once accepted is answered for the items of the call, even
// when they are removed or deactivated (with their group) before the
// toolkit's thread, held inside another group's callback, gets to it.
TEST_F(Callbacks, AcceptedTransactionsCompleteForTheItemsOfTheCall) {
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
    DWORD cancel = 0;
    HRESULT *failures = nullptr;
    ASSERT_EQ(async->Read(2, handles.data(), 31, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 77, &cancel), S_OK);
    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(async->Write(1, &handles[1], &value, 32, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    ASSERT_EQ(group->RemoveItems(1, &handles[0], &failures), S_OK);
    CoTaskMemFree(failures);
    ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, &failures), S_OK);
    CoTaskMemFree(failures);
    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    BOOL inactive = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(state->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    closed.unlock();
    EXPECT_EQ(sink.Line(2), "read t31 g2 00000000/00000000 101=I2:70/qC0 102=I2:5/qC0");
    EXPECT_EQ(sink.Line(3), "change t77 g2 00000000/00000000 101=I2:70/qC0 102=I2:5/qC0");
    EXPECT_EQ(sink.Line(4), "write t32 g2 00000001 102=C0040006");
}

// The process ends when it exits, even while a client's callback holds the
// toolkit's thread; with no callback under way, the thread is collected.
TEST_F(Callbacks, TheProcessExitsWhileACallbackBlocks) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const auto exitDuring = [this](bool block) {
        Ref<IOPCServer> server = Connect();
        Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 1);
        std::string errors;
        AddItems(group.get(), {"Pump1"}, &errors);
        Sink &sink = NewSink();
        std::atomic<bool> inside{false};
        std::mutex gate;
        std::unique_lock<std::mutex> closed(gate, std::defer_lock);
        if (block) closed.lock();
        sink.onChange = [&] {
            inside = true;
            std::lock_guard<std::mutex> wait(gate);
        };
        Advise(group.get(), sink);
        if (!WaitFor([&] { return inside.load(); })) std::_Exit(2);
        std::exit(0);
    };
    EXPECT_EXIT(exitDuring(true), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exitDuring(false), ::testing::ExitedWithCode(0), "");
}

// A client may let go of the very group that calls it back.
TEST_F(Callbacks, AClientMayReleaseItsGroupInsideACallback) {
    Ref<IOPCServer> server = Connect();
    IOPCItemMgt *group = AddGroup(server.get(), "G", 50, 3).release();
    std::string errors;
    const OPCHANDLE handle = AddItems(group, {"Pump1"}, &errors)[0];
    OPCHANDLE serverGroup = 0;
    {
        Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group, IID_IOPCGroupStateMgt);
        DWORD rate;
        BOOL active;
        LPOLESTR name = nullptr;
        LONG bias;
        FLOAT deadband;
        LCID locale;
        OPCHANDLE client;
        ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &serverGroup), S_OK);
        CoTaskMemFree(name);
    }
    ASSERT_NE(handle, 0u);
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

}  // namespace

namespace {

using namespace opc_test;

// A client that died answers its callbacks with an RPC failure: its group
// stops calling it and lets the sink go.
class DeadSink final : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IOPCDataCallback)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                           FILETIME *, HRESULT *) override {
        ++calls;
        return static_cast<HRESULT>(0x800706BAL);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                             FILETIME *, HRESULT *) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    std::atomic<ULONG> references{1};
    std::atomic<int> calls{0};
};

using DeadClients = OpcTest;

TEST_F(DeadClients, AGroupForgetsASinkThatIsNoLongerThere) {
    DeadSink dead;
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    Ref<IConnectionPointContainer> container =
        Query<IConnectionPointContainer>(group.get(), IID_IConnectionPointContainer);
    IConnectionPoint *point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&dead, &cookie), S_OK);
    ASSERT_TRUE(WaitFor([&] { return dead.references.load() == 1; }))
        << dead.calls.load() << " " << dead.references.load();
    Update(1, 2);
    Update(1, 3);
    // The connection is gone: a new sink may take its place.
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    Sink &alive = NewSink();
    ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback *>(&alive), &cookie), S_OK);
    EXPECT_EQ(alive.Line(1), "change t0 g7 00000000/00000000 101=I2:3/qC0");
    point->Release();
    EXPECT_EQ(dead.calls.load(), 1);
}

}  // namespace
