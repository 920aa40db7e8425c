// Hostile arguments and concurrent clients: a wrong call is refused without
// a crash; many clients at once neither tear records nor deadlock.
#include <thread>

#include "opc_client.h"

namespace {

using namespace opc_test;

using Hostile = OpcTest;

// Null pointers that the server would write through or call: one for each
// guard.
TEST_F(Hostile, NullPointersAreRefused) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    std::string errors;
    std::vector<OPCHANDLE> handles = AddItems(group.get(), {"Pump1"}, &errors);
    DWORD rate = 0;
    IUnknown *unknown = nullptr;
    EXPECT_EQ(server->AddGroup(nullptr, TRUE, 100, 0, nullptr, nullptr, 0, nullptr, &rate, IID_IUnknown, &unknown),
              E_INVALIDARG);
    EXPECT_EQ(server->GetErrorString(E_FAIL, 0x0800, nullptr), E_INVALIDARG);

    OPCITEMRESULT *results = nullptr;
    HRESULT *failures = nullptr;
    OleText pump = Ole("Pump1");
    OPCITEMDEF definition{nullptr, &pump[0], TRUE, 1, 0, nullptr, VT_EMPTY, 0};
    EXPECT_EQ(group->AddItems(1, nullptr, &results, &failures), E_INVALIDARG);
    EXPECT_EQ(group->AddItems(1, &definition, nullptr, &failures), E_INVALIDARG);
    EXPECT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr), E_INVALIDARG);

    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD update = 0;
    EXPECT_EQ(state->GetState(&update, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(state->CloneGroup(nullptr, IID_IUnknown, nullptr), E_INVALIDARG);

    Ref<IOPCAsyncIO2> async = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    EXPECT_EQ(async->Read(1, handles.data(), 1, nullptr, &failures), E_INVALIDARG);
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(async->GetEnable(nullptr), E_INVALIDARG);

    // A callback that is none would be called at the next delivery.
    Ref<IConnectionPoint> point = DataCallbackPoint(group.get());
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(point->Advise(server.get(), &cookie), CONNECT_E_CANNOTCONNECT);
}

// Item ids past the longest text a client may send (4096 characters), with
// a lone surrogate, or none at all.
TEST_F(Hostile, ItemIdsThatAreHugeBrokenOrMissingAreInvalid) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G");
    OleText huge(5000, static_cast<OLECHAR>('A'));
    OleText broken = Ole("Pump1");
    broken[2] = static_cast<OLECHAR>(0xDC00);
    OPCITEMDEF definitions[] = {{nullptr, &huge[0], TRUE, 1, 0, nullptr, VT_EMPTY, 0},
                                {nullptr, &broken[0], TRUE, 2, 0, nullptr, VT_EMPTY, 0},
                                {nullptr, nullptr, TRUE, 3, 0, nullptr, VT_EMPTY, 0}};
    TaskOut<OPCITEMRESULT> results;
    TaskOut<HRESULT> failures;
    ASSERT_EQ(group->AddItems(3, definitions, &results.items, &failures.items), S_FALSE);
    for (DWORD k = 0; k < 3; ++k) EXPECT_EQ(Hex(failures[k]), Hex(OPC_E_INVALIDITEMID)) << k;
}

// A removed item's handle is never given to a new item: a client's stale
// handle would read another item's value.
TEST_F(Hostile, StaleHandlesAreInvalid) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> mine = AddGroup(server.get(), "Mine");
    std::string errors;
    OPCHANDLE removed = AddItems(mine.get(), {"Pump1"}, &errors)[0];
    HRESULT *failures = nullptr;
    ASSERT_EQ(mine->RemoveItems(1, &removed, &failures), S_OK);
    CoTaskMemFree(failures);
    EXPECT_NE(AddItems(mine.get(), {"Pump1"}, &errors)[0], removed);
    EXPECT_EQ(SyncRead(mine.get(), OPC_DS_CACHE, {removed}), "00000001 0=EMPTY/q0/C0040001");
}

using Concurrent = OpcTest;

// Clients come and go with groups and items, reading and subscribing, while
// the driver updates the cache. Every record read must be one update's
// (value and timestamp agree), no group's data changes come closer than its
// rate, nothing may fail, and all sessions end.
TEST_F(Concurrent, ManyClientsReadAndSubscribeWhileTheCacheChanges) {
    std::atomic<bool> writing{true};
    std::atomic<long> wrong{0};
    std::atomic<long> reads{0};
    const auto client = [&](int number) {
        Ref<IOPCServer> server = Connect();
        std::vector<std::unique_ptr<Sink>> sinks;
        for (int round = 0; writing.load() || round < 3; ++round) {
            OPCHANDLE handle = 0;
            Ref<IOPCItemMgt> group = AddGroup(server.get(), "", 50, static_cast<OPCHANDLE>(number), TRUE, &handle);
            if (!group) {
                ++wrong;
                return;
            }
            sinks.push_back(std::make_unique<Sink>());
            Advise(group.get(), *sinks.back());
            std::string errors;
            std::vector<OPCHANDLE> handles =
                AddItems(group.get(), {"Pump1", "Pump2", "Valve", "Tank.Level"}, &errors, VT_I4);
            Ref<IOPCSyncIO> io = Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
            for (int k = 0; k < 20; ++k) {
                OPCITEMSTATE *states = nullptr;
                HRESULT *failures = nullptr;
                if (io->Read(OPC_DS_CACHE, 4, handles.data(), &states, &failures) != S_OK) {
                    ++wrong;
                    continue;
                }
                for (int j = 0; j < 4; ++j) {
                    // The writer stamps each record with its own value.
                    const LONG value = states[j].vDataValue.lVal;
                    if (value != 0 && static_cast<DWORD>(value) != states[j].ftTimeStamp.dwLowDateTime) ++wrong;
                }
                CoTaskMemFree(states);
                CoTaskMemFree(failures);
                ++reads;
            }
            HRESULT *failures = nullptr;
            if (group->RemoveItems(2, handles.data(), &failures) != S_OK) ++wrong;
            CoTaskMemFree(failures);
            // Half the groups are left to the server object's end, half removed.
            io.reset();
            group.reset();
            if (round % 2 == 0 && FAILED(server->RemoveGroup(handle, FALSE))) ++wrong;
        }
        server.reset();
        // Every sink let go once its group is gone (a data change in flight may
        // still hold it for a moment).
        for (const auto &sink : sinks) {
            if (!WaitFor([&] { return sink->references.load() == 1; })) ++wrong;
            for (std::size_t n = 2; n <= sink->Count(); ++n) {
                if (sink->When(n) - sink->When(n - 1) < std::chrono::milliseconds(50)) ++wrong;
            }
        }
    };
    std::vector<std::thread> clients;
    for (int number = 1; number <= 6; ++number) clients.emplace_back(client, number);
    for (DWORD v = 1; v <= 4000; ++v) {
        for (loTagId id = 1; id <= 4; ++id) Update(id, static_cast<SHORT>(v), OPC_QUALITY_GOOD, v);
        if (v % 500 == 0) std::this_thread::yield();
    }
    writing = false;
    for (std::thread &thread : clients) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(finished.load(), 6);
}

}  // namespace
