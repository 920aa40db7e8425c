// The cache update, on the polling thread, allocates nothing, also when it
// wakes the groups that watch the tags it changed: every heap allocation made
// on the updating thread is counted (the delivery threads may allocate). And
// a call that runs out of memory leaves nothing allocated and hands out nothing.
#include "../../common/posix/allocation_counter.h"

#include <algorithm>
#include <thread>

#include "../opc_client.h"

namespace {

using namespace opc_test;
using CacheUpdates = OpcTest;

// A subscribed group watching Pump1 twice and Pump2. Each round waits for the data change, so that every counted
// update wakes the subscribed group anew.
TEST_F(CacheUpdates, WakingTheWatchingGroupsAllocatesNothing) {
    Ref<IOPCServer> watching = Connect();
    Ref<IOPCItemMgt> group = AddGroup(watching.get(), "G", 50, 1);
    std::string errors;
    AddItems(group.get(), {"Pump1", "Pump1", "Pump2"}, &errors);
    Sink &sink = NewSink();
    Advise(group.get(), sink);
    ASSERT_FALSE(sink.Line(1).empty());
    for (SHORT round = 1; round <= 10; ++round) {
        allocation_counter::thisThread = true;
        Update(1, round);
        Update(2, 0, round % 2 == 0 ? OPC_QUALITY_GOOD : OPC_QUALITY_COMM_FAILURE);
        allocation_counter::thisThread = false;
        ASSERT_FALSE(sink.Line(round + 1).empty());
    }
    EXPECT_EQ(allocation_counter::allocations.load(), 0);
}

// Each allocation of a call fails in turn, until the call makes it through:
// a failed call answers E_OUTOFMEMORY and leaves nothing allocated; done
// checks each answer and frees what it handed out, after which (unless the
// call hands its work to another thread) nothing stays. Returns the number of
// failed attempts.
template <class Call, class Done>
long EveryAllocationFails(const char *name, Call call, Done done, bool handsOver = false) {
    for (long n = 0;; ++n) {
        allocation_counter::liveCount = 0;
        allocation_counter::failIn = n;
        allocation_counter::thisThread = true;
        const HRESULT result = call();
        const bool failed = allocation_counter::failIn < 0;
        allocation_counter::failIn = -1;
        done(result);
        allocation_counter::thisThread = false;
        if (failed || !handsOver) {
            EXPECT_EQ(allocation_counter::liveCount, 0) << name << " with allocation " << n << " failing";
        }
        if (!failed) return n;
        EXPECT_EQ(result, E_OUTOFMEMORY) << name << " with allocation " << n << " failing";
    }
}

// A page of elements with their properties and a continuation point.
TEST_F(CacheUpdates, BrowsingWithPropertiesLeavesNothingWhenMemoryRunsOut) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowse> browse = Query<IOPCBrowse>(server.get(), IID_IOPCBrowse);
    LPOLESTR next = nullptr;
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT *elements = nullptr;
    EveryAllocationFails(
        "Browse",
        [&] {
            next = nullptr;
            return browse->Browse(nullptr, &next, 3, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, TRUE, TRUE, 0, nullptr,
                                  &more, &count, &elements);
        },
        [&](HRESULT result) {
            if (FAILED(result)) return;
            for (DWORD k = 0; k < count; ++k) {
                CoTaskMemFree(elements[k].szName);
                CoTaskMemFree(elements[k].szItemID);
                FreeProperties(elements[k].ItemProperties);
            }
            CoTaskMemFree(elements);
            CoTaskMemFree(next);
        });
}

// An asynchronous read that cannot be queued (out of memory at any step, also
// when the queue needs room while the session's thread is busy) answers
// E_OUTOFMEMORY with no per-item errors and no transaction handed out.
TEST_F(CacheUpdates, AReadThatCannotBeQueuedHandsOutNothing) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCItemMgt> group = AddGroup(server.get(), "G", 50);
    std::string added;
    OPCHANDLE handle = AddItems(group.get(), {"Pump1"}, &added).at(0);
    static std::atomic<bool> busy;
    busy = true;
    struct Free {
        ~Free() { busy = false; }
    } free;
    Sink &sink = NewSink();
    sink.onChange = [] {
        while (busy) std::this_thread::yield();
    };
    Advise(group.get(), sink);
    ASSERT_TRUE(WaitFor([&] { return sink.Count() > 0; }));  // the session's thread waits in the callback now
    Ref<IOPCAsyncIO2> io = Query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    long mostRefusals = 0;
    // Each read is refused at its first allocation, then its second, ... until it is queued.
    for (int read = 0; read < 30; ++read) {
        DWORD id = 0;
        HRESULT *errors = nullptr;
        const long refusals = EveryAllocationFails(
            "IOPCAsyncIO2::Read",
            [&] {
                id = 0;
                errors = nullptr;
                return io->Read(1, &handle, 7, &id, &errors);
            },
            [&](HRESULT answer) {
                if (answer != E_OUTOFMEMORY) {
                    EXPECT_EQ(answer, S_OK) << read;
                    EXPECT_NE(id, 0u) << read;
                } else {
                    EXPECT_EQ(errors, nullptr) << read;
                    EXPECT_EQ(id, 0u) << read;
                }
                CoTaskMemFree(errors);
            },
            true);
        mostRefusals = std::max(mostRefusals, refusals);
    }
    EXPECT_GT(mostRefusals, 1);  // refused past its first allocation: by the queue
}

}  // namespace
