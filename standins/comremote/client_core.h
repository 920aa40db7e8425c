// The client process's end of one connection: calls wait for their answers
// (several threads may call at once), and the server's calls into the
// client's sinks are run one after another on a thread of their own, so
// that a sink may call the server again.
#pragma once

#include <condition_variable>
#include <cstddef>
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

// How long a call waits for its answer, unless BRISVALE_COM_CALL_TIMEOUT_MS
// says otherwise: generous, as a read of thousands of items is one call.
constexpr int kCallMilliseconds = 30000;
int CallMilliseconds();

// The process may open no more files (HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES)).
constexpr HRESULT kTooManyFiles = static_cast<HRESULT>(0x80070004L);
// The connection ended while this client was behind with its sinks' calls:
// the server drops a client that does not keep up
// (HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_QUOTA)).
constexpr HRESULT kFellBehind = static_cast<HRESULT>(0x80070718L);

// At most this many server calls wait for the sinks; while that many (or
// that many bytes) wait, the connection is not read, and its answers wait too.
constexpr std::size_t kMaxQueuedCallbacks = 256;
constexpr std::size_t kMaxQueuedCallbackBytes = 8u << 20;
// While a sink waits for the server's answer, the queue may hold this many
// times as much: the answer is read past the calls that arrived first.
constexpr std::size_t kSinkCallingRoom = 4;

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
    // failure (RPC_S_SERVER_UNAVAILABLE once the server is gone, kFellBehind
    // when it went while this client was behind, RPC_E_TIMEOUT when no answer
    // came within the limit, which ends the connection) or S_OK.
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
    void EndLocked(HRESULT why);

    struct Pending {
        bool done = false;
        std::vector<std::uint8_t> reply;
    };
    struct Callback {
        Header header;
        std::vector<std::uint8_t> payload;
    };

    const int fd_;
    const int callMilliseconds_ = CallMilliseconds();  // read once per connection
    std::mutex writeLock_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool closed_ = false;
    HRESULT closedWith_ = RPC_S_SERVER_UNAVAILABLE;  // what calls get once it is closed
    bool behind_ = false;                            // the queue was full since the last answer
    bool sinkCalling_ = false;                       // the sinks' thread waits for an answer
    std::size_t queuedBytes_ = 0;
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
