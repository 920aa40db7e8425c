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

// What one client may hold at once. A line has at most a few thousand tags
// (61 registers a block, 256 blocks make 15,616), so these leave real
// clients far from them while one client cannot take all of the server.
constexpr std::size_t kMaxSessionsPerConnection = 16;
constexpr std::size_t kMaxGroupsPerSession = 64;
constexpr std::size_t kMaxItemsPerGroup = 65536;
// The items of all groups of one connection (the limits above multiply).
constexpr std::size_t kMaxItemsPerConnection = 262144;

// How long a client may keep a connection busy doing nothing: from its
// hello until it holds a session, and for a message it has begun. The
// environment variable BRISVALE_COM_SERVER_TIMEOUT_MS, if set, replaces
// every one of them (for tests).
constexpr int kHelloMs = 10000;
constexpr int kIdleWithoutSessionMs = 60000;
constexpr int kMessageMs = 30000;
int ServerTimeoutMs(int standard);

// What an exported object is to the limits above.
enum class Role { Other, Session, Group };

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
    // reference is then released; the refusal is logged). A group (with the
    // server's handle of it) counts against its session, and so do its
    // items, while the client holds it or the session still lists it (not
    // removed with RemoveGroup); a session counts until it and its groups
    // are released.
    std::uint32_t Export(IUnknown *object, Role role = Role::Other, std::uint32_t session = 0, DWORD handle = 0);
    // Whether one more session, one more group on that session, or that
    // many more items in that group stay within the limits; a refusal is
    // logged here, once.
    bool AdmitSession();
    bool AdmitGroup(std::uint32_t session);
    bool AdmitItems(std::uint32_t group, std::size_t count);
    // Items added to (positive) or removed from (negative) a group.
    void CountItems(std::uint32_t group, long change);
    // The session no longer lists the group of that handle (RemoveGroup).
    void GroupRemoved(std::uint32_t session, DWORD handle);
    const std::wstring &User() const { return user_; }
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
    struct Entry {
        IUnknown *object;
        Role role;
        std::uint32_t session;  // the session a group was made on
        DWORD handle;           // of a group, the server's
    };
    struct GroupUse {
        bool held = true;    // by the client
        bool listed = true;  // by the session
        std::size_t items = 0;
    };
    // A session's id while it or a group of it counts.
    struct SessionUse {
        bool held = true;
        std::map<DWORD, GroupUse> groups;
    };

    bool Handle(const Header &header, const std::vector<std::uint8_t> &payload);
    // Takes an entry out of the table and its counts; its reference is the caller's.
    IUnknown *Drop(std::map<std::uint32_t, Entry>::iterator entry);
    void ReleaseAll();
    // Under the lock: the use of the group an id names; null for anything else.
    GroupUse *UseOf(std::uint32_t group);
    // Under the lock: forgets a group, or a session, that counts no more.
    void Settle(std::map<std::uint32_t, SessionUse>::iterator session, DWORD handle);

    const int fd_;
    IUnknown *const classObject_;
    const std::wstring user_;
    std::shared_ptr<Outbox> outbox_;
    std::mutex lock_;
    std::map<std::uint32_t, Entry> objects_;
    std::map<std::uint32_t, SessionUse> sessions_;
    std::size_t items_ = 0;  // of every group that counts
    std::uint32_t nextId_ = 1;
};

// The calls a client may make, each run against its target object: false
// when the message is malformed (the connection is then dropped).
bool RunCall(ServerConnection &connection, const Header &header, Reader &in, Writer &out);

}  // namespace comremote
