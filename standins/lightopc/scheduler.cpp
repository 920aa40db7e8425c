#include "scheduler.h"

#include <cstdlib>

Scheduler &Scheduler::Instance() {
    // Never destroyed: groups may be released by static objects at exit.
    static Scheduler *scheduler = [] {
        Scheduler *made = new Scheduler;
        std::atexit(&Scheduler::Stop);
        return made;
    }();
    return *scheduler;
}

void Scheduler::Stop() {
    Scheduler &scheduler = Instance();
    std::unique_lock<std::mutex> held(scheduler.lock_);
    scheduler.exiting_ = true;
    scheduler.changed_.notify_one();
    // No callback is made from here on; one under way may finish.
    const bool finished =
        scheduler.stopped_.wait_for(held, std::chrono::seconds(2), [&] { return !scheduler.running_; });
    if (!scheduler.thread_.joinable()) return;
    if (finished) {
        scheduler.thread_.join();
    } else {
        scheduler.thread_.detach();  // the process ends without waiting for that client
    }
}

void Scheduler::Add(Group *group) {
    std::lock_guard<std::mutex> held(lock_);
    // Everything that can fail comes first: a failed Add leaves no trace.
    entries_.reserve(entries_.size() + 1);
    if (!running_ && !exiting_) {
        // The previous thread has stopped (or is returning): collect it first.
        if (thread_.joinable()) thread_.join();
        thread_ = std::thread([this] { Loop(); });
        running_ = true;
    }
    entries_.push_back(Entry{group, Clock::now()});
    changed_.notify_one();
}

void Scheduler::Remove(Group *group) {
    std::lock_guard<std::mutex> held(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->group == group) {
            entries_.erase(it);
            break;
        }
    }
    changed_.notify_one();
}

void Scheduler::Wake(Group *group) {
    std::lock_guard<std::mutex> held(lock_);
    for (Entry &entry : entries_) {
        if (entry.group == group) entry.due = Clock::now();
    }
    changed_.notify_one();
}

void Scheduler::Loop() {
    std::unique_lock<std::mutex> held(lock_);
    std::vector<Group *> due;
    for (;;) {
        if (entries_.empty() || exiting_) {
            running_ = false;
            stopped_.notify_all();
            return;
        }
        Clock::time_point next = Clock::time_point::max();
        for (const Entry &entry : entries_) next = std::min(next, entry.due);
        const Clock::time_point now = Clock::now();
        if (next > now) {
            changed_.wait_until(held, next);
            continue;
        }
        due.clear();
        for (Entry &entry : entries_) {
            if (entry.due > now) continue;
            // A group whose count reached zero is being destroyed: it removes itself.
            if (!entry.group->AddRefUnlessGone()) continue;
            due.push_back(entry.group);
            entry.due = Clock::time_point::max();
        }
        held.unlock();
        for (Group *group : due) {
            const Clock::time_point again = group->Run(now);
            held.lock();
            for (Entry &entry : entries_) {
                if (entry.group == group && entry.due == Clock::time_point::max()) entry.due = again;
            }
            held.unlock();
            group->Release();  // may destroy the group, which removes itself
        }
        held.lock();
    }
}
