// Counts heap allocations (operator new and the C allocator both) for a test
// of a path that must allocate nothing. It replaces the process's allocator:
// included by one source file of a Linux test program built without a
// sanitizer (which replaces the allocator first).
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);
extern "C" void *__libc_realloc(void *block, std::size_t size);
extern "C" void __libc_free(void *block);

namespace allocation_counter {
// What is counted: every thread's allocations, or the flagged thread's only.
inline std::atomic<bool> everyThread{false};
inline thread_local bool thisThread = false;
inline std::atomic<long> allocations{0};
// When 0 or more: operator new on this thread refuses (throws) after that many more.
inline thread_local long refuseAfter = -1;

inline void Count() {
    if (thisThread || everyThread.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace allocation_counter

extern "C" void *malloc(std::size_t size) {
    allocation_counter::Count();
    return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
    allocation_counter::Count();
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *block, std::size_t size) {
    allocation_counter::Count();
    return __libc_realloc(block, size);
}
extern "C" void free(void *block) {
    __libc_free(block);
}
void *operator new(std::size_t size) {
    allocation_counter::Count();
    if (allocation_counter::refuseAfter >= 0 && allocation_counter::refuseAfter-- == 0) throw std::bad_alloc();
    if (void *block = __libc_malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void *block) noexcept {
    __libc_free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    __libc_free(block);
}
