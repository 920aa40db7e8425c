// The client process's end of one connection: calls wait for their answers
// (several threads may call at once), and the server's calls into the
// client's sinks are run one after another on a thread of their own, so
// that a sink may call the server again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "opc_da.h"
#include "wire.h"

namespace comremote {

class ClientCore : public std::enable_shared_from_this<ClientCore> {
public:
    // Takes over a socket that has passed the hello; null (the socket then
    // closed) when the process has no thread left for it.
    static std::shared_ptr<ClientCore> Start(int fd);
    ~ClientCore();
    ClientCore(const ClientCore &) = delete;
    ClientCore &operator=(const ClientCore &) = delete;

    std::uint32_t NextCallId();
    // Sends a request and waits for its answer's payload; the transport's
    // failure (RPC_S_SERVER_UNAVAILABLE once the server is gone) or S_OK.
    HRESULT Call(std::uint32_t callId, std::vector<std::uint8_t> request, std::vector<std::uint8_t> *reply);
    // Waits until the sinks have been given every call (and every release)
    // that arrived so far; at once on the sinks' own thread.
    void Drain();

    // The proxies that use the connection: when the last goes, so does the
    // connection, and the server releases whatever the client still held.
    void Attach();
    void Detach();

    // A sink the server may call; the id names it in messages. 0 when the
    // connection is gone.
    std::uint32_t AddSink(IOPCDataCallback *sink);
    void DropSink(std::uint32_t id);

private:
    explicit ClientCore(int fd) : fd_(fd) {}
    void Receive();
    void Dispatch();
    void RunCallback(const Header &header, const std::vector<std::uint8_t> &payload);
    void Close();

    struct Pending {
        bool done = false;
        std::vector<std::uint8_t> reply;
    };
    struct Callback {
        Header header;
        std::vector<std::uint8_t> payload;
    };

    const int fd_;
    std::mutex writeLock_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool closed_ = false;
    std::uint32_t nextCallId_ = 1;
    std::map<std::uint32_t, Pending *> pending_;
    std::deque<Callback> callbacks_;
    std::map<std::uint32_t, IOPCDataCallback *> sinks_;
    std::uint32_t nextSinkId_ = 1;
    std::uint64_t received_ = 0;  // server calls queued for the sinks, ever
    std::uint64_t delivered_ = 0;
    long attached_ = 0;
    std::thread::id dispatcherId_;
    bool dispatched_ = false;  // the sink thread has run and let go of everything
};

}  // namespace comremote
