// What a server object shares with its groups: the cache, the group table and
// the session's delivery thread. Groups hold it by shared_ptr, so a group a
// client still holds after letting its server go keeps working on the cache;
// the server object closes the table when it goes, which drops the table's
// references to the groups.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com_object.h"
#include "tag_cache.h"

class Group;
class Scheduler;
class ServerObject;

class ServerCore {
public:
    // owner: the server object, until it closes the table.
    ServerCore(std::shared_ptr<TagCache> tags, ServerObject *owner);
    ~ServerCore();
    ServerCore(const ServerCore &) = delete;
    ServerCore &operator=(const ServerCore &) = delete;

    const std::shared_ptr<TagCache> cache;
    const std::shared_ptr<Scheduler> delivery;

    // Names the group (a made-up unique name when name is empty) and adds it:
    // OPC_E_DUPLICATENAME for a name taken, E_FAIL once closed.
    HRESULT Insert(const ComPtr<Group> &group, const std::string &name);
    // OPC_E_DUPLICATENAME when another group has the name.
    HRESULT Rename(Group &group, const std::string &name);
    ComPtr<Group> FindByName(const std::string &name) const;
    // Takes the group out of the table: the table's reference is returned.
    ComPtr<Group> Remove(OPCHANDLE handle);
    std::vector<ComPtr<Group>> Groups() const;
    DWORD GroupCount() const;
    // Takes every group out and refuses new ones; the references are released
    // after the table's lock is let go.
    void Close();

    // A subscription of the session ended because its client vanished. Once
    // no group of the table has a subscription left, the session is let go,
    // once: its groups and its server object are disconnected from the
    // remote layer, so that the references a dead client holds go away.
    // lost: the group whose subscription ended (null for the server object's
    // shutdown sink), disconnected with the others even if no longer listed.
    // Called outside every lock of the toolkit.
    void SubscriptionLost(Group *lost);

private:
    bool NameTaken(const std::string &name, const Group *except) const;

    mutable std::mutex lock_;
    std::map<OPCHANDLE, ComPtr<Group>> groups_;
    bool closed_ = false;
    ServerObject *owner_;
    bool disconnected_ = false;
    unsigned long nextName_ = 1;
};
