// One client process's connection to a published class object: its own
// thread reads the client's calls and runs them, and a table of the objects
// the client was handed holds the references the client owns. When the
// connection ends, for whatever reason, those references are released.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "outbox.h"
#include "platform/com.h"
#include "wire.h"

namespace comremote {

class ServerConnection {
public:
    ServerConnection(int fd, IUnknown *classObject, std::wstring user);
    ~ServerConnection();
    ServerConnection(const ServerConnection &) = delete;
    ServerConnection &operator=(const ServerConnection &) = delete;

    // Serves the client until it leaves or breaks the protocol, then
    // releases what it held. On the connection's own thread.
    void Serve();

    // Hands the client one reference on an object: the id it names it by.
    // Takes over the reference given. 0 when the table is full (the
    // reference is then released).
    std::uint32_t Export(IUnknown *object);
    // The object behind an id, with a reference for the caller; null when
    // the id names nothing (never was, released or disconnected).
    IUnknown *Find(std::uint32_t id);
    void Forget(std::uint32_t id);
    // Releases every reference the client holds on the object (compared by
    // identity); the number dropped.
    std::size_t Disconnect(IUnknown *identity);

    // The class object is asked for its factory at each activation, as COM does.
    IUnknown *ClassObject() const { return classObject_; }
    const std::shared_ptr<Outbox> &Out() const { return outbox_; }

    static constexpr std::size_t kMaxObjects = 100000;

private:
    bool Handle(const Header &header, const std::vector<std::uint8_t> &payload);
    void ReleaseAll();

    const int fd_;
    IUnknown *const classObject_;
    const std::wstring user_;
    std::shared_ptr<Outbox> outbox_;
    std::mutex lock_;
    std::map<std::uint32_t, IUnknown *> objects_;
    std::uint32_t nextId_ = 1;
};

// The calls a client may make, each run against its target object: false
// when the message is malformed (the connection is then dropped).
bool RunCall(ServerConnection &connection, const Header &header, Reader &in, Writer &out);

}  // namespace comremote
