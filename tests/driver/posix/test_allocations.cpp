// A steady polling pass allocates nothing: every heap allocation of the
// process is counted (operator new and the C allocator both) across many
// passes after the first, with good reads, and a silent device that is left
// out and then tried again.
#include "../../common/posix/allocation_counter.h"
#include "../driver_fixture.h"

namespace {

using Allocations = Driver;

TEST_F(Allocations, SteadyPassesAllocateNothing) {
    ASSERT_EQ(Init("<TagConfig demoteAfter='1' demoteForMs='1000'><QueryBlock deviceAddr='1'><SingleReg name='A'/>"
                   "<BlockOfRegs namePrefix='B' count='60' addrStart='1'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2' millisecondPeriod='100'><BlockOfRegs namePrefix='C' count='8'/>"
                   "</QueryBlock>"
                   "<QueryBlock deviceAddr='9'><SingleReg name='Silent'/></QueryBlock></TagConfig>"),
              0);
    // The first passes open the port and show the console's first signs.
    for (double t : {0.0, 0.05}) Pass(t);
    ASSERT_THAT(Read("B59"), ::testing::HasSubstr(" qC0 "));
    ASSERT_THAT(Read("Silent"), ::testing::HasSubstr(" q18 "));

    allocation_counter::everyThread = true;
    for (int pass = 2; pass < 22; ++pass) Pass(pass * 0.05);
    allocation_counter::everyThread = false;
    EXPECT_EQ(allocation_counter::allocations.load(), 0);
    EXPECT_THAT(Read("C7"), ::testing::HasSubstr(" qC0 t1"));
    EXPECT_THAT(Read("Silent"), ::testing::EndsWith(" q18 t1")) << "tried again once its time was up";
}

}  // namespace
