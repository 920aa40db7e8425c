// Subscriptions and asynchronous calls: what reaches a client's
// IOPCDataCallback, from the toolkit's thread, after cache updates.
#include <algorithm>
#include <cstdlib>
#include <map>

#include "liveness.h"
#include "opc_client.h"

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
    // A change while callbacks are disabled goes when they are enabled again.
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    ASSERT_EQ(async->SetEnable(FALSE), S_OK);
    Update(2, 8);
    ASSERT_EQ(async->SetEnable(TRUE), S_OK);
    EXPECT_EQ(sink.Line(5), "change t0 g9 00000000/00000000 102=I2:8/qC0");
    // An item made active reports its value at the next change.
    ASSERT_EQ(group->SetActiveState(1, valve, TRUE, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(sink.Line(6), "change t0 g9 00000000/00000000 103=I2:1/qC0");
    // The group holds its sink (a delivery under way holds it for a moment more).
    EXPECT_TRUE(WaitFor([&] { return sink.references.load() == 2u; })) << sink.references.load();
    async.reset();
    group.reset();
    blocker.reset();
    server.reset();
    EXPECT_TRUE(WaitFor([&] { return sink.references.load() == 1u; }));  // the group let its sink go
}

// The toolkit's thread is held inside another group's callback while a
// group's transactions wait: a read can then be cancelled for sure, and a
// transaction once accepted is answered for the items of the call, even when
// they are removed or deactivated (with their group) meanwhile.
TEST_F(Callbacks, TransactionsAcceptedOrCancelledWhileTheToolkitThreadIsBusy) {
    Update(1, 70, OPC_QUALITY_GOOD, 7);
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
    OPCHANDLE mixed[] = {handles[1], 4040};
    ASSERT_EQ(async->Read(2, mixed, 31, &cancel, &failures), S_FALSE);
    EXPECT_EQ(Hex(failures[1]), Hex(OPC_E_INVALIDHANDLE));
    CoTaskMemFree(failures);
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
    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    BOOL inactive = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(state->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    closed.unlock();
    const std::string both = " 101=I2:70/qC0 102=I2:5/qC0";
    EXPECT_EQ(sink.Line(2), "cancel t21 g2");
    EXPECT_EQ(sink.Line(3), "read t31 g2 00000000/00000000 102=I2:5/qC0");
    EXPECT_EQ(sink.Line(4), "change t77 g2 00000000/00000000" + both);
    EXPECT_EQ(sink.Line(5), "write t32 g2 00000001 102=" + Hex(OPC_E_BADRIGHTS));
    EXPECT_EQ(sink.Line(6), "read t41 g2 00000000/00000000 101=I2:70/qC0");
    EXPECT_EQ(sink.Line(7), "write t42 g2 00000001 101=" + Hex(OPC_E_BADRIGHTS));
    EXPECT_EQ(sink.Line(8), "change t43 g2 00000000/00000000" + both);
    EXPECT_EQ(sink.Count(), 8u);  // the cancelled read never completes
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
// completion fails), the session is disconnected once, its final release
// comes, and the other sessions go on.
TEST_F(DeadClients, AVanishedClientsSessionIsLetGoAndFinishes) {
    Ref<IOPCServer> other = Connect();
    Ref<IOPCItemMgt> otherGroup = AddGroup(other.get(), "Other", 50, 3);
    std::string errors;
    AddItems(otherGroup.get(), {"Pump1"}, &errors);
    Sink &witness = NewSink();
    Advise(otherGroup.get(), witness);
    EXPECT_EQ(witness.Line(1), "change t0 g3 00000001/00000000 101=I2:0/q8");

    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> first = AddGroup(server.get(), "First", 50, 1);
    Ref<IOPCItemMgt> second = AddGroup(server.get(), "Second", 50, 2);
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
    Update(1, 7);
    EXPECT_EQ(witness.Line(3), "change t0 g3 00000000/00000000 101=I2:7/qC0");
    EXPECT_EQ(Disconnected().size(), 3u);
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
