#include "scheduler.h"

#include <algorithm>
#include <cstdlib>

namespace {

// What the process knows of the delivery threads: the live schedulers, to
// stop them at exit, and the threads whose scheduler ended on them (a thread
// cannot collect itself), collected when the next session starts or at exit.
// Never destroyed: groups may be released by static objects at exit.
struct Deliveries {
    std::mutex lock;
    std::vector<std::weak_ptr<Scheduler>> live;
    std::vector<std::thread> ended;
    bool exiting = false;
};

Deliveries &TheDeliveries() {
    static Deliveries *deliveries = new Deliveries;
    return *deliveries;
}

// Those threads have nothing left to do but return.
void CollectEnded() {
    std::vector<std::thread> ended;
    {
        Deliveries &deliveries = TheDeliveries();
        std::lock_guard<std::mutex> held(deliveries.lock);
        // Moved out, not swapped: the list keeps its room.
        for (std::thread &thread : deliveries.ended) ended.push_back(std::move(thread));
        deliveries.ended.clear();
    }
    for (std::thread &thread : ended) thread.join();
}

}  // namespace

std::shared_ptr<Scheduler> Scheduler::Create() {
    static const int registered = std::atexit(&Scheduler::StopAll);
    static_cast<void>(registered);
    std::shared_ptr<Scheduler> made(new Scheduler);
    Deliveries &deliveries = TheDeliveries();
    {
        std::lock_guard<std::mutex> held(deliveries.lock);
        std::vector<std::weak_ptr<Scheduler>> &live = deliveries.live;
        live.push_back(made);
        // Room for every thread that may still be handed over, so that a
        // thread's last act allocates nothing, whatever the process is doing then.
        deliveries.ended.reserve(deliveries.ended.size() + live.size());
        live.erase(std::remove_if(live.begin(), live.end(), [](const auto &weak) { return weak.expired(); }),
                   live.end());
        made->exiting_ = deliveries.exiting;
    }
    CollectEnded();
    return made;
}

Scheduler::~Scheduler() {
    if (!thread_.joinable()) return;
    // Elsewhere, the thread has already let its scheduler go: it is returning.
    if (thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
        return;
    }
    Deliveries &deliveries = TheDeliveries();
    std::lock_guard<std::mutex> held(deliveries.lock);
    try {
        deliveries.ended.push_back(std::move(thread_));
    } catch (const std::bad_alloc &) {
        thread_.detach();  // nowhere to keep it: the system collects it
    }
}

void Scheduler::Thread(std::shared_ptr<Scheduler> self) {
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    self->Loop();
    if (SUCCEEDED(initialized)) CoUninitialize();
    self.reset();  // the last reference may go here, with the thread handed over to be collected
}

void Scheduler::StopAll() {
    std::vector<std::shared_ptr<Scheduler>> schedulers;
    try {
        Deliveries &deliveries = TheDeliveries();
        {
            std::lock_guard<std::mutex> held(deliveries.lock);
            deliveries.exiting = true;
            for (const std::weak_ptr<Scheduler> &weak : deliveries.live) {
                if (std::shared_ptr<Scheduler> scheduler = weak.lock()) schedulers.push_back(std::move(scheduler));
            }
        }
        CollectEnded();
    } catch (const std::bad_alloc &) {
        // The sessions not listed are left to the end of the process.
    }
    // No callback is made from here on; those under way share one grace period.
    for (const std::shared_ptr<Scheduler> &scheduler : schedulers) scheduler->Signal();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const std::shared_ptr<Scheduler> &scheduler : schedulers) scheduler->Collect(deadline);
    schedulers.clear();
    CollectEnded();
}

void Scheduler::Signal() {
    std::lock_guard<std::mutex> held(lock_);
    exiting_ = true;
    changed_.notify_one();
}

void Scheduler::Collect(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> held(lock_);
    const bool finished = stopped_.wait_until(held, deadline, [&] { return !running_; });
    if (!thread_.joinable()) return;
    if (!finished) {
        thread_.detach();  // the process ends without waiting for that client
        return;
    }
    std::thread returning = std::move(thread_);
    held.unlock();
    returning.join();
}

void Scheduler::Add(Group *group) {
    std::lock_guard<std::mutex> held(lock_);
    // Everything that can fail comes first: a failed Add leaves no trace.
    entries_.reserve(entries_.size() + 1);
    if (!running_ && !exiting_) {
        // The previous thread has stopped (or is returning): collect it first.
        if (thread_.joinable()) thread_.join();
        thread_ = std::thread(&Scheduler::Thread, shared_from_this());
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
