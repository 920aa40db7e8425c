// The cache update, on the polling thread, allocates nothing, also when it
// wakes the groups that watch the tags it changed: every heap allocation made
// on the updating thread is counted (the delivery threads may allocate).
#include "../../common/posix/allocation_counter.h"

#include "../opc_client.h"

namespace {

using namespace opc_test;
using CacheUpdates = OpcTest;

// Two sessions: a subscribed group watching Pump1 twice and Pump2, and an
// inactive one. Each round waits for the data change, so that every counted
// update wakes the subscribed group anew.
TEST_F(CacheUpdates, WakingTheWatchingGroupsAllocatesNothing) {
    Ref<IOPCServer> watching = Connect();
    Ref<IOPCServer> idle = Connect();
    Ref<IOPCItemMgt> group = AddGroup(watching.get(), "G", 50, 1);
    Ref<IOPCItemMgt> inactive = AddGroup(idle.get(), "I", 50, 2, FALSE);
    std::string errors;
    AddItems(group.get(), {"Pump1", "Pump1", "Pump2"}, &errors);
    AddItems(inactive.get(), {"Pump1", "Pump2"}, &errors);
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

}  // namespace
