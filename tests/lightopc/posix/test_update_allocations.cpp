// The cache update, on the polling thread, allocates nothing, also when it
// wakes the groups that watch the tags it changed: every heap allocation made
// on the updating thread is counted (the delivery threads may allocate). And
// a browse that runs out of memory leaves nothing allocated and hands out nothing.
#include "../../common/posix/allocation_counter.h"

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

// A page of elements with their properties and a continuation point.
TEST_F(CacheUpdates, BrowsingWithPropertiesLeavesNothingWhenMemoryRunsOut) {
    Ref<IOPCServer> server = Connect();
    Ref<IOPCBrowse> browse = Query<IOPCBrowse>(server.get(), IID_IOPCBrowse);
    LPOLESTR next = nullptr;
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT *elements = nullptr;
    // Each allocation of the call fails in turn, until the call makes it
    // through: a failed call answers E_OUTOFMEMORY and leaves nothing allocated;
    // what a call that made it hands out is freed, after which nothing stays.
    for (long n = 0;; ++n) {
        allocation_counter::liveCount = 0;
        allocation_counter::failIn = n;
        allocation_counter::thisThread = true;
        next = nullptr;
        const HRESULT result = browse->Browse(nullptr, &next, 3, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, TRUE, TRUE, 0,
                                              nullptr, &more, &count, &elements);
        const bool failed = allocation_counter::failIn < 0;
        allocation_counter::failIn = -1;
        for (DWORD k = 0; SUCCEEDED(result) && k < count; ++k) {
            CoTaskMemFree(elements[k].szName);
            CoTaskMemFree(elements[k].szItemID);
            FreeProperties(elements[k].ItemProperties);
        }
        if (SUCCEEDED(result)) CoTaskMemFree(elements);
        if (SUCCEEDED(result)) CoTaskMemFree(next);
        allocation_counter::thisThread = false;
        EXPECT_EQ(allocation_counter::liveCount, 0) << "allocation " << n << " failing";
        if (!failed) return;
        EXPECT_EQ(result, E_OUTOFMEMORY) << "allocation " << n << " failing";
    }
}

}  // namespace
