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

inline void Count() {
    if (thisThread || everyThread.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

// Out of memory on the flagged thread: with failIn n >= 0, its allocation
// after n more fails; its blocks not yet freed are in live[0, liveCount).
inline thread_local long failIn = -1;
inline thread_local void *live[1024];
inline thread_local int liveCount = 0;
inline bool Fails() {
    if (!thisThread || failIn < 0) return false;
    return failIn-- == 0;
}
inline void *Made(void *block) {
    if (thisThread && block != nullptr && liveCount < 1024) live[liveCount++] = block;
    return block;
}
inline void Freed(void *block) {
    for (int k = 0; k < liveCount; ++k) {
        if (live[k] == block) {
            live[k] = live[--liveCount];
            return;
        }
    }
}
}  // namespace allocation_counter

extern "C" void *malloc(std::size_t size) {
    allocation_counter::Count();
    return allocation_counter::Fails() ? nullptr : allocation_counter::Made(__libc_malloc(size));
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
    allocation_counter::Count();
    return allocation_counter::Fails() ? nullptr : allocation_counter::Made(__libc_calloc(count, size));
}
extern "C" void *realloc(void *block, std::size_t size) {
    allocation_counter::Count();
    if (allocation_counter::Fails()) return nullptr;
    allocation_counter::Freed(block);
    return allocation_counter::Made(__libc_realloc(block, size));
}
extern "C" void free(void *block) {
    allocation_counter::Freed(block);
    __libc_free(block);
}
void *operator new(std::size_t size) {
    allocation_counter::Count();
    if (allocation_counter::Fails()) throw std::bad_alloc();
    if (void *block = allocation_counter::Made(__libc_malloc(size == 0 ? 1 : size))) return block;
    throw std::bad_alloc();
}
void operator delete(void *block) noexcept {
    free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    free(block);
}
