#include "client_core.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "socket_io.h"

namespace comremote {

int CallMilliseconds() {
    return TimeLimit("BRISVALE_COM_CALL_TIMEOUT_MS", kCallMilliseconds);
}

std::shared_ptr<ClientCore> ClientCore::Start(int fd) {
    std::shared_ptr<ClientCore> core(new ClientCore(fd));
    // Each thread keeps the connection alive until it has finished with it.
    std::thread receiver;
    std::thread dispatcher;
    try {
        receiver = std::thread([core] { core->Receive(); });
        dispatcher = std::thread([core] { core->Dispatch(); });
    } catch (const std::system_error &) {
        // No thread to be had: the activation fails, the process goes on.
        {
            std::lock_guard<std::mutex> held(core->lock_);
            core->dispatched_ = true;  // no sink thread was made to wait for
        }
        core->Close();
        if (receiver.joinable()) receiver.join();
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> held(core->lock_);
        core->dispatcherId_ = dispatcher.get_id();
    }
    receiver.detach();
    dispatcher.detach();
    return core;
}

ClientCore::~ClientCore() {
    close(fd_);
}

std::uint32_t ClientCore::NextCallId() {
    std::lock_guard<std::mutex> held(lock_);
    if (nextCallId_ == 0) nextCallId_ = 1;
    return nextCallId_++;
}

HRESULT ClientCore::Call(std::uint32_t callId, std::vector<std::uint8_t> request, std::vector<std::uint8_t> *reply) {
    if (request.empty()) return E_OUTOFMEMORY;  // more than one message may carry
    Pending pending;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(callMilliseconds_);
    {
        std::lock_guard<std::mutex> held(lock_);
        if (closed_) return closedWith_;
        pending_[callId] = &pending;
        // A sink asking the server: its answer may lie behind more server
        // calls than the queue holds, which the reader then reads anyway.
        if (std::this_thread::get_id() == dispatcherId_) {
            sinkCalling_ = true;
            changed_.notify_all();
        }
    }
    int error = 0;
    {
        std::lock_guard<std::mutex> held(writeLock_);
        error = WriteFully(fd_, request.data(), request.size());
    }
    std::unique_lock<std::mutex> held(lock_);
    // A server that neither takes the request nor answers it in time is hung:
    // the connection ends, so that no later call waits for it either. While
    // this client is behind with its sinks, the answer may be stuck unread
    // behind the server's calls: then the client, not the server, is to blame.
    // (Judged once the wait is over: the queue may have filled meanwhile.)
    if (error == EAGAIN || error == EWOULDBLOCK) {
        EndLocked(behind_ ? kFellBehind : RPC_E_TIMEOUT);
    } else if (error != 0) {
        EndLocked(behind_ ? kFellBehind : RPC_S_SERVER_UNAVAILABLE);
    } else if (!changed_.wait_until(held, deadline, [&] { return pending.done || closed_; })) {
        EndLocked(behind_ ? kFellBehind : RPC_E_TIMEOUT);
    }
    pending_.erase(callId);
    if (std::this_thread::get_id() == dispatcherId_) sinkCalling_ = false;
    if (!pending.done) return closed_ ? closedWith_ : RPC_S_SERVER_UNAVAILABLE;
    *reply = std::move(pending.reply);
    return S_OK;
}

void ClientCore::Drain() {
    std::unique_lock<std::mutex> held(lock_);
    if (std::this_thread::get_id() == dispatcherId_) return;
    const std::uint64_t target = received_;
    changed_.wait(held, [&] { return delivered_ >= target; });
}

void ClientCore::Attach() {
    std::lock_guard<std::mutex> held(lock_);
    ++attached_;
}

void ClientCore::Detach() {
    {
        std::lock_guard<std::mutex> held(lock_);
        if (--attached_ > 0) return;
    }
    Close();
}

std::uint32_t ClientCore::AddSink(IOPCDataCallback *sink) {
    std::lock_guard<std::mutex> held(lock_);
    if (closed_) return 0;
    while (nextSinkId_ == 0 || sinks_.count(nextSinkId_) != 0) ++nextSinkId_;
    const std::uint32_t id = nextSinkId_++;
    sink->AddRef();
    sinks_[id] = sink;
    return id;
}

void ClientCore::DropSink(std::uint32_t id) {
    IOPCDataCallback *sink = nullptr;
    {
        std::lock_guard<std::mutex> held(lock_);
        const auto found = sinks_.find(id);
        if (found == sinks_.end()) return;
        sink = found->second;
        sinks_.erase(found);
    }
    sink->Release();
}

void ClientCore::EndLocked(HRESULT why) {
    if (closed_) return;
    closed_ = true;
    closedWith_ = why;
    shutdown(fd_, SHUT_RDWR);
    changed_.notify_all();
}

void ClientCore::Close() {
    std::unique_lock<std::mutex> held(lock_);
    EndLocked(RPC_S_SERVER_UNAVAILABLE);
    // The client's sinks are let go before it goes on (it may free them),
    // unless this is the sink thread itself.
    if (std::this_thread::get_id() != dispatcherId_) changed_.wait(held, [this] { return dispatched_; });
}

void ClientCore::Receive() {
    Header header{};
    std::vector<std::uint8_t> payload;
    while (ReadMessage(fd_, &header, &payload)) {
        std::unique_lock<std::mutex> held(lock_);
        // Once the client has let go, what was still on its way is dropped:
        // the sink thread may already have finished, and nobody waits for answers.
        if (closed_) break;
        if (header.kind == kReply) {
            const auto found = pending_.find(header.callId);
            if (found == pending_.end()) break;  // an answer to no question: a broken server
            found->second->done = true;
            found->second->reply = std::move(payload);
            behind_ = false;  // the server still serves this client
        } else if (header.kind >= kOnDataChange && header.kind <= kReleaseCallback) {
            // Sinks that fall behind are not outrun without bound: the
            // connection waits unread, and the server's own limit for a
            // client that does not read ends it.
            const auto room = [this] {
                const std::size_t times = sinkCalling_ ? kSinkCallingRoom : 1;
                return closed_ || (callbacks_.size() < times * kMaxQueuedCallbacks &&
                                   queuedBytes_ < times * kMaxQueuedCallbackBytes);
            };
            if (!room()) {
                behind_ = true;
                changed_.wait(held, room);
                if (closed_) break;
            }
            queuedBytes_ += payload.size();
            callbacks_.push_back(Callback{header, std::move(payload)});
            ++received_;
        } else {
            break;
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> held(lock_);
    EndLocked(behind_ ? kFellBehind : RPC_S_SERVER_UNAVAILABLE);
}

void ClientCore::Dispatch() {
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        changed_.wait(held, [this] { return closed_ || !callbacks_.empty(); });
        if (callbacks_.empty()) break;
        Callback next = std::move(callbacks_.front());
        callbacks_.pop_front();
        queuedBytes_ -= next.payload.size();
        changed_.notify_all();
        held.unlock();
        RunCallback(next.header, next.payload);
        held.lock();
        ++delivered_;
        changed_.notify_all();
    }
    // The server is gone: it holds none of the sinks any more.
    std::map<std::uint32_t, IOPCDataCallback *> sinks;
    sinks.swap(sinks_);
    held.unlock();
    for (const auto &entry : sinks) entry.second->Release();
    held.lock();
    dispatched_ = true;
    changed_.notify_all();
}

void ClientCore::RunCallback(const Header &header, const std::vector<std::uint8_t> &payload) {
    if (header.kind == kReleaseCallback) {
        DropSink(header.objectId);
        return;
    }
    IOPCDataCallback *sink = nullptr;
    {
        std::lock_guard<std::mutex> held(lock_);
        const auto found = sinks_.find(header.objectId);
        if (found == sinks_.end()) return;
        sink = found->second;
        sink->AddRef();
    }
    Reader in(payload.data(), payload.size());
    const DWORD transaction = in.U32();
    const OPCHANDLE group = in.U32();
    if (header.kind == kOnCancelComplete) {
        if (in.Done()) sink->OnCancelComplete(transaction, group);
    } else if (header.kind == kOnWriteComplete) {
        const HRESULT masterError = in.I32();
        const std::uint32_t count = in.Count(8);
        std::vector<OPCHANDLE> clients(count);
        std::vector<HRESULT> errors(count);
        for (std::uint32_t k = 0; k < count; ++k) {
            clients[k] = in.U32();
            errors[k] = in.I32();
        }
        if (in.Done()) sink->OnWriteComplete(transaction, group, masterError, count, clients.data(), errors.data());
    } else {
        const HRESULT masterQuality = in.I32();
        const HRESULT masterError = in.I32();
        const std::uint32_t count = in.Count(4 + 2 + 2 + 8 + 4);
        std::vector<OPCHANDLE> clients(count);
        std::vector<VARIANT> values(count);
        std::vector<WORD> qualities(count);
        std::vector<FILETIME> times(count);
        std::vector<HRESULT> errors(count);
        for (VARIANT &value : values) VariantInit(&value);
        for (std::uint32_t k = 0; k < count && in.Ok(); ++k) {
            clients[k] = in.U32();
            in.Variant(&values[k]);
            qualities[k] = in.U16();
            times[k] = in.Time();
            errors[k] = in.I32();
        }
        if (in.Done()) {
            auto call =
                header.kind == kOnDataChange ? &IOPCDataCallback::OnDataChange : &IOPCDataCallback::OnReadComplete;
            (sink->*call)(transaction, group, masterQuality, masterError, count, clients.data(), values.data(),
                          qualities.data(), times.data(), errors.data());
        }
        for (VARIANT &value : values) VariantClear(&value);
    }
    sink->Release();
}

}  // namespace comremote
