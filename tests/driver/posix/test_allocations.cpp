// A steady polling pass allocates nothing: every heap allocation of the
// process is counted (operator new and the C allocator both) across many
// passes after the first, with good reads, and a silent device that is left
// out and then tried again.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "../driver_fixture.h"

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);
extern "C" void *__libc_realloc(void *block, std::size_t size);
extern "C" void __libc_free(void *block);

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void Count() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void *malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
    Count();
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *block, std::size_t size) {
    Count();
    return __libc_realloc(block, size);
}
extern "C" void free(void *block) {
    __libc_free(block);
}

void *operator new(std::size_t size) {
    Count();
    if (void *block = __libc_malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void *block) noexcept {
    __libc_free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    __libc_free(block);
}

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

    counting = true;
    for (int pass = 2; pass < 22; ++pass) Pass(pass * 0.05);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_THAT(Read("C7"), ::testing::HasSubstr(" qC0 t1"));
    EXPECT_THAT(Read("Silent"), ::testing::EndsWith(" q18 t1")) << "tried again once its time was up";
}

}  // namespace
