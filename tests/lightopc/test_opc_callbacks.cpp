// Subscriptions and asynchronous calls: what reaches a client's
// IOPCDataCallback, from the toolkit's thread, after cache updates.
#include <algorithm>
#include <cstdlib>
#include <map>

#include "liveness.h"
#include "opc_client.h"

namespace {

using namespace opc_test;

// Milliseconds, as an assertion shows them.
DWORD Ms(std::chrono::steady_clock::duration span) {
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
}

class Callbacks : public OpcTest {
protected:
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

    // A period after the sink's last line, tag id changes to value: the data
    // change (line) comes at once, well within half a period.
    void ExpectAtOnce(Sink &sink, loTagId id, SHORT value, const std::string &line) {
        const std::size_t seen = sink.Count();
        ASSERT_TRUE(WaitFor([&] { return std::chrono::steady_clock::now() > sink.When(seen) + kPeriod; }));
        const auto changed = std::chrono::steady_clock::now();
        Update(id, value);
        ASSERT_EQ(sink.Line(seen + 1), line);
        EXPECT_LT(Ms(sink.When(seen + 1) - changed), Ms(kPeriod / 2));
    }
    // The rate of the groups whose timing a test asserts.
    static constexpr std::chrono::milliseconds kPeriod{1000};

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
    // The group holds its sink (a delivery under way holds it for a moment more).
    EXPECT_TRUE(WaitFor([&] { return sink.references.load() == 2u; })) << sink.references.load();
    group.reset();
    server.reset();
    EXPECT_TRUE(WaitFor([&] { return sink.references.load() == 1u; }));  // the group let its sink go
}

// A change goes at once when the group's last data change is a period old;
// the changes that follow within the period go together one period after it,
// with the latest values; a raised rate counts from the last data change too.
// Lower bounds on the spacing; "at once" is bounded by half a period, far more
// than a delivery takes on a loaded machine and far less than a period.
TEST_F(Callbacks, ChangesGoAtOnceButNeverCloserThanTheRate) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", Ms(kPeriod), 4);
    std::string errors;
    AddItems(group.get(), {"Pump1", "Pump2"}, &errors);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    ASSERT_EQ(sink.Line(1), "change t0 g4 00000001/00000000 101=I2:0/q8 102=I2:0/q8");
    ExpectAtOnce(sink, 1, 1, "change t0 g4 00000000/00000000 101=I2:1/qC0");

    Update(1, 2);
    Update(2, 7);
    Update(1, 3);
    ASSERT_EQ(sink.Line(3), "change t0 g4 00000000/00000000 101=I2:3/qC0 102=I2:7/qC0");
    EXPECT_GE(Ms(sink.When(3) - sink.When(2)), Ms(kPeriod));

    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD raised = Ms(2 * kPeriod);
    DWORD revised = 0;
    ASSERT_EQ(state->SetState(&raised, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    Update(2, 8);
    ASSERT_EQ(sink.Line(4), "change t0 g4 00000000/00000000 102=I2:8/qC0");
    EXPECT_GE(Ms(sink.When(4) - sink.When(3)), Ms(2 * kPeriod));
}

TEST_F(Callbacks, InactiveDisabledOrRemovedGroupsSendNoDataChanges) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> quiet = AddGroup(server.get(), "Quiet", 50, 1, FALSE);
    Ref<IOPCItemMgt> loud = AddGroup(server.get(), "Loud", 50, 2);
    OPCHANDLE handle = 0;
    Ref<IOPCItemMgt> removed = AddGroup(server.get(), "Removed", 50, 4, TRUE, &handle);
    std::string errors;
    AddItems(quiet.get(), {"Pump1"}, &errors);
    AddItems(loud.get(), {"Pump1"}, &errors);
    AddItems(removed.get(), {"Pump1"}, &errors);
    Sink &quietSink = NewSink();
    Sink &loudSink = NewSink();
    Sink &removedSink = NewSink();
    Advise(quiet.get(), quietSink);
    Advise(loud.get(), loudSink);
    Advise(removed.get(), removedSink);
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(loud.get(), IID_IOPCAsyncIO2);
    EXPECT_EQ(loudSink.Line(1), "change t0 g2 00000001/00000000 101=I2:0/q8");
    EXPECT_EQ(removedSink.Line(1), "change t0 g4 00000001/00000000 101=I2:0/q8");
    // A forced removal succeeds while the client holds the group.
    EXPECT_EQ(server->RemoveGroup(handle, TRUE), S_OK);
    ASSERT_EQ(async->SetEnable(FALSE), S_OK);
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
    EXPECT_EQ(removedSink.Count(), 1u);
    // Enabled again: the last value that changed since the last callback.
    ASSERT_EQ(async->SetEnable(TRUE), S_OK);
    EXPECT_EQ(loudSink.Line(2), "change t0 g2 00000000/00000000 101=I2:6/qC0");
}

// IOPCAsyncIO2's refusals and per-item errors, and IOPCAsyncIO3 (reads by
// age, writes with quality and time); the completions' shapes are pinned by
// the test after this one.
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

    Ref<IOPCAsyncIO3> async3 = Query<IOPCAsyncIO3>(group.get(), IID_IOPCAsyncIO3);
    ASSERT_TRUE(async3);
    DWORD ages[] = {0};
    ASSERT_EQ(async3->ReadMaxAge(1, handles.data(), ages, 21, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(sink.Line(3), "read t21 g5 00000000/00000000 101=I4:70/qC0");
    OPCITEMVQT vqt{};
    VariantInit(&vqt.vDataValue);
    ASSERT_EQ(async3->WriteVQT(1, handles.data(), &vqt, 22, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(sink.Line(4), "write t22 g5 00000001 101=" + Hex(OPC_E_BADRIGHTS));
    ASSERT_EQ(async3->RefreshMaxAge(0xFFFFFFFF, 23, &cancel), S_OK);
    EXPECT_EQ(sink.Line(5), "change t23 g5 00000001/00000000 101=I4:70/qC0 102=I4:0/q8");
    failures = reinterpret_cast<HRESULT *>(1);
    EXPECT_EQ(async3->ReadMaxAge(1, handles.data(), nullptr, 24, &cancel, &failures), E_INVALIDARG);
    EXPECT_EQ(failures, nullptr);

    HRESULT *ignored = nullptr;
    ASSERT_EQ(group->SetActiveState(2, handles.data(), FALSE, &ignored), S_OK);
    CoTaskMemFree(ignored);
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 14, &cancel), E_FAIL);  // nothing active
    EXPECT_EQ(async->Cancel2(cancel), E_FAIL);                      // long done
    EXPECT_EQ(async->Refresh2(static_cast<OPCDATASOURCE>(0), 14, &cancel), E_INVALIDARG);
}

// The toolkit's thread is held inside another group's callback while a
// group's transactions wait: a read can then be cancelled for sure, and a
// transaction once accepted is answered for the items of the call, even when
// they are removed or deactivated (with their group) meanwhile.
TEST_F(Callbacks, CancelledAndAcceptedTransactionsWhileTheToolkitThreadIsBusy) {
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
    ASSERT_EQ(async->Read(1, &handles[1], 21, &cancel, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_EQ(async->Cancel2(cancel), S_OK);
    EXPECT_EQ(async->Cancel2(cancel), E_FAIL);
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
    EXPECT_EQ(sink.Line(2), "cancel t21 g2");
    EXPECT_EQ(sink.Line(3), "read t31 g2 00000000/00000000 101=I2:70/qC0 102=I2:5/qC0");
    EXPECT_EQ(sink.Line(4), "change t77 g2 00000000/00000000 101=I2:70/qC0 102=I2:5/qC0");
    EXPECT_EQ(sink.Line(5), "write t32 g2 00000001 102=C0040006");
    EXPECT_EQ(sink.Count(), 5u);  // the cancelled read never completes
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
// update that concerns both returns, and the other client's data change comes
// at once, from a thread in COM's multithreaded apartment (where a callback to
// another process may be made).
TEST_F(Callbacks, AClientWhoseCallbackBlocksHoldsUpOnlyItself) {
    Ref<IOPCServer> slow = Connect();
    Ref<IOPCServer> quick = Connect();
    Ref<IOPCItemMgt> slowGroup = AddGroup(slow.get(), "Slow", 50, 1);
    Ref<IOPCItemMgt> quickGroup = AddGroup(quick.get(), "Quick", Ms(kPeriod), 2);
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
    ExpectAtOnce(sink, 1, 1, "change t0 g2 00000000/00000000 101=I2:1/qC0");
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

}  // namespace

namespace {

using namespace opc_test;

// A client that died answers its callbacks with an RPC failure (while dead
// is set): its group stops calling it and lets the sink go. It keeps the
// item time a data change brings (the Sink does not).
class DeadSink final : public IOPCDataCallback, public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IOPCDataCallback)) {
            *object = static_cast<IOPCDataCallback *>(this);
        } else if (IsEqualGUID(riid, IID_IOPCShutdown)) {
            *object = static_cast<IOPCShutdown *>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
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

// Stands in for the remote layer: records what the toolkit disconnects and
// drops the references handed to it for that object, as the stubs of a dead
// client's connection would.
class RemoteLayer {
public:
    // Takes over a reference to object, whose identity is named identity.
    static void Hold(IUnknown *identity, IUnknown *object) {
        std::lock_guard<std::mutex> held(lock_);
        held_.emplace(identity, object);
    }
    static std::vector<IUnknown *> Disconnected() {
        std::lock_guard<std::mutex> held(lock_);
        return disconnected_;
    }
    static HRESULT Disconnect(IUnknown *object, DWORD) {
        std::vector<IUnknown *> released;
        {
            std::lock_guard<std::mutex> held(lock_);
            disconnected_.push_back(object);
            const auto range = held_.equal_range(object);
            for (auto it = range.first; it != range.second; ++it) released.push_back(it->second);
            held_.erase(range.first, range.second);
        }
        for (IUnknown *reference : released) reference->Release();
        return S_OK;
    }
    static void Reset() {
        std::lock_guard<std::mutex> held(lock_);
        held_.clear();
        disconnected_.clear();
    }

private:
    static inline std::mutex lock_;
    static inline std::multimap<IUnknown *, IUnknown *> held_;
    static inline std::vector<IUnknown *> disconnected_;
};

class DeadClients : public OpcTest {
protected:
    void SetUp() override {
        OpcTest::SetUp();
        RemoteLayer::Reset();
        disconnect_object = &RemoteLayer::Disconnect;
    }
    void TearDown() override {
        OpcTest::TearDown();
        disconnect_object = saved_;
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
    HRESULT (*const saved_)(IUnknown *, DWORD) = disconnect_object;
};

// The references of a vanished client are held by the remote layer: once no
// group of its session has a subscription that answers, the session is
// disconnected, its final release comes, and the other sessions go on.
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
    AddItems(second.get(), {"Pump1"}, &errors);
    const std::vector<IUnknown *> session = {Identity(first.get()), Identity(second.get()), Identity(server.get())};
    DeadSink gone;
    DeadSink answering;
    answering.dead = false;
    Advise(second.get(), &answering);
    ASSERT_TRUE(WaitFor([&] { return answering.calls.load() == 1; }));
    Advise(first.get(), &gone);
    RemoteLayer::Hold(session[0], first.release());
    RemoteLayer::Hold(session[1], second.release());
    RemoteLayer::Hold(session[2], server.release());
    ASSERT_TRUE(WaitFor([&] { return gone.references.load() == 1; }));
    // A group that still answers keeps the session.
    Update(1, 5, OPC_QUALITY_GOOD, 55);
    ASSERT_TRUE(WaitFor([&] { return answering.calls.load() == 2; })) << answering.calls.load();
    EXPECT_EQ(answering.time.load(), 55u);
    EXPECT_EQ(witness.Line(2), "change t0 g3 00000000/00000000 101=I2:5/qC0");
    EXPECT_TRUE(RemoteLayer::Disconnected().empty());
    EXPECT_EQ(finished.load(), 0);

    answering.dead = true;
    Update(1, 6);
    ASSERT_TRUE(WaitFor([&] { return finished.load() == 1; }));
    EXPECT_EQ(witness.Line(3), "change t0 g3 00000000/00000000 101=I2:6/qC0");
    std::vector<IUnknown *> disconnected = RemoteLayer::Disconnected();
    ASSERT_EQ(disconnected.size(), 3u);
    EXPECT_EQ(disconnected.back(), session.back());  // the server object after its groups
    EXPECT_TRUE(std::is_permutation(disconnected.begin(), disconnected.end(), session.begin()));
    EXPECT_EQ(gone.calls.load(), 1);
    EXPECT_EQ(answering.references.load(), 1u);
    Update(1, 7);
    EXPECT_EQ(witness.Line(4), "change t0 g3 00000000/00000000 101=I2:7/qC0");
    EXPECT_EQ(RemoteLayer::Disconnected().size(), 3u);
}

// Completions that fail end the subscription too; a session is let go once,
// however many subscriptions fail after.
TEST_F(DeadClients, FailedCompletionsEndTheSubscriptionAndTheSessionGoesOnce) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50, 1, FALSE);
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1"}, &errors);
    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    for (bool read : {true, false}) {
        DeadSink dead;
        Advise(group.get(), &dead);
        DWORD cancel = 0;
        HRESULT *failures = nullptr;
        VARIANT value;
        VariantInit(&value);
        ASSERT_EQ(read ? async->Read(1, handles.data(), 1, &cancel, &failures)
                       : async->Write(1, handles.data(), &value, 2, &cancel, &failures),
                  S_OK);
        CoTaskMemFree(failures);
        ASSERT_TRUE(WaitFor([&] { return dead.references.load() == 1; })) << read;
        EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 3, &cancel), CONNECT_E_NOCONNECTION);
        EXPECT_EQ(dead.calls.load(), 1);
        EXPECT_EQ(RemoteLayer::Disconnected(),
                  (std::vector<IUnknown *>{Identity(group.get()), Identity(server.get())}));
    }
}

// The service goes while a client holds a group with a subscription: a
// shutdown request that finds its client gone lets the session go; one that
// is answered does not. (What a live client holds still reads the cache:
// test_lightopc pins that.)
TEST_F(DeadClients, TheServiceGoesWhileClientsHoldGroups) {
    Update(1, 8);
    Ref<IOPCServer> answering = Connect();
    Ref<IOPCServer> vanished = Connect();
    Ref<IOPCItemMgt> group = AddGroup(answering.get(), "G", 50, 4);
    std::string errors;
    AddItems(group.get(), {"Pump1"}, &errors);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    EXPECT_EQ(sink.Line(1), "change t0 g4 00000000/00000000 101=I2:8/qC0");
    DeadSink dead;
    AdviseShutdown(answering.get(), &sink);
    AdviseShutdown(vanished.get(), &dead);
    EXPECT_EQ(loServiceDestroy(service), 0);
    service = nullptr;
    EXPECT_EQ(sink.Line(2), "shutdown Finished by client");
    EXPECT_EQ(dead.calls.load(), 1);
    EXPECT_EQ(dead.references.load(), 1u);
    EXPECT_EQ(RemoteLayer::Disconnected(), std::vector<IUnknown *>{Identity(vanished.get())});
    group.reset();
    answering.reset();
    vanished.reset();
    EXPECT_EQ(finished.load(), 2);
}

}  // namespace
