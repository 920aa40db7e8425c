#include "outbox.h"

#include <sys/socket.h>

#include "socket_io.h"
#include "wire.h"

namespace comremote {

Outbox::Outbox(int fd) : fd_(fd), writer_([this] { Write(); }) {}

Outbox::~Outbox() {
    Close();
    Join();
}

HRESULT Outbox::Post(std::vector<std::uint8_t> message, bool reply) {
    std::lock_guard<std::mutex> held(lock_);
    if (closed_ || message.empty()) return RPC_S_SERVER_UNAVAILABLE;
    const std::size_t maxMessages = reply ? kMaxQueuedReplies : kMaxQueued;
    const std::size_t maxBytes = reply ? kMaxQueuedBytes + kMaxMessage : kMaxQueuedBytes;
    if (queue_.size() >= maxMessages || queuedBytes_ + message.size() > maxBytes) {
        CloseLocked();
        return RPC_S_SERVER_UNAVAILABLE;
    }
    queuedBytes_ += message.size();
    queue_.push_back(std::move(message));
    changed_.notify_one();
    return S_OK;
}

void Outbox::Close() {
    std::lock_guard<std::mutex> held(lock_);
    CloseLocked();
}

void Outbox::CloseLocked() {
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    // Wakes the writer from a send and the connection's reader from a receive.
    shutdown(fd_, SHUT_RDWR);
    changed_.notify_all();
}

void Outbox::Join() {
    if (writer_.joinable() && writer_.get_id() != std::this_thread::get_id()) writer_.join();
}

void Outbox::Write() {
    for (;;) {
        std::vector<std::uint8_t> message;
        {
            std::unique_lock<std::mutex> held(lock_);
            changed_.wait(held, [this] { return closed_ || !queue_.empty(); });
            if (closed_) return;
            message = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= message.size();
        }
        if (WriteFully(fd_, message.data(), message.size()) != 0) {
            Close();
            return;
        }
    }
}

}  // namespace comremote
