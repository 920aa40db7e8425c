// The toolkit's thread: it runs every live group's asynchronous work and data
// changes, so that no client callback is ever made from inside a client's own
// call. It holds a reference to a group only while running it, and only if
// the group is not already on its way out; it runs while any group exists.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "group.h"

class Scheduler {
public:
    static Scheduler &Instance();

    // Throws (out of memory, no thread) with nothing changed.
    void Add(Group *group);
    void Remove(Group *group);
    // Asks for the group to run as soon as possible.
    void Wake(Group *group);

private:
    Scheduler() = default;
    void Loop();
    // At process exit: collects the thread, unless a client's callback holds
    // it beyond a grace period (then it is left to the end of the process).
    static void Stop();

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
