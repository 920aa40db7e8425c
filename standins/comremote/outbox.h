// What a server connection sends to its client, queued so that no caller
// waits for a slow client: a writer thread drains the queue; a queue that
// fills up means the client no longer reads, and the connection is dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com.h"

namespace comremote {

class Outbox {
public:
    explicit Outbox(int fd);
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // S_OK once queued; RPC_S_SERVER_UNAVAILABLE when the connection is gone
    // or its client is too slow (then the connection is dropped). A reply to
    // the client's own call gets more room than a callback (a thread of the
    // client waits for each answer before it asks again), but not unbounded
    // room: a client that asks without reading is not kept in memory.
    HRESULT Post(std::vector<std::uint8_t> message, bool reply);
    // Ends the connection: both directions of the socket shut down, nothing
    // more is sent. The socket itself stays open until the owner closes it.
    void Close();
    // Waits for the writer thread (after Close).
    void Join();

    static constexpr std::size_t kMaxQueued = 512;
    static constexpr std::size_t kMaxQueuedBytes = 16u << 20;
    static constexpr std::size_t kMaxQueuedReplies = 4 * kMaxQueued;

private:
    void Write();
    void CloseLocked();

    const int fd_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> queue_;
    std::size_t queuedBytes_ = 0;
    bool closed_ = false;
    std::thread writer_;
};

}  // namespace comremote
