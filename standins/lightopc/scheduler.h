// A session's delivery thread: it runs the asynchronous work and data changes
// of one client's groups, so that no client callback is ever made from inside
// a client's own call, and a client whose callback blocks (or whose process
// hangs) holds up only its own deliveries. It holds a reference to a group
// only while running it, and only if the group is not already on its way out;
// it runs while any group of the session exists, in COM's multithreaded
// apartment (a callback may go to another process).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "group.h"

class Scheduler : public std::enable_shared_from_this<Scheduler> {
public:
    // Throws (out of memory) with nothing changed.
    static std::shared_ptr<Scheduler> Create();
    ~Scheduler();
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    // Throws (out of memory, no thread) with nothing changed.
    void Add(Group *group);
    void Remove(Group *group);
    // Asks for the group to run as soon as possible. The cache update calls it
    // on the polling thread: it takes only this scheduler's lock, which is
    // never held while a client is called, and allocates nothing.
    void Wake(Group *group);

private:
    Scheduler() = default;
    // The thread's whole life; it keeps its scheduler alive until the end.
    static void Thread(std::shared_ptr<Scheduler> self);
    void Loop();
    // At process exit: collects every session's thread, unless a client's
    // callback holds it beyond a grace period (then it is left to the end of
    // the process).
    static void StopAll();
    void Signal();
    void Collect(std::chrono::steady_clock::time_point deadline);

    struct Entry {
        Group *group;
        Clock::time_point due;
    };

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
    std::condition_variable stopped_;
    std::thread thread_;
    bool running_ = false;
    bool exiting_ = false;  // no thread starts any more
};
