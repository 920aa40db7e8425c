#include "server_core.h"

#include "group.h"
#include "liveness.h"
#include "scheduler.h"
#include "server_object.h"

ServerCore::ServerCore(std::shared_ptr<TagCache> tags, ServerObject *owner)
    : cache(std::move(tags)), delivery(Scheduler::Create()), owner_(owner) {}

ServerCore::~ServerCore() = default;

bool ServerCore::NameTaken(const std::string &name, const Group *except) const {
    for (const auto &entry : groups_) {
        if (entry.second.get() != except && entry.second->Name() == name) return true;
    }
    return false;
}

HRESULT ServerCore::Insert(const ComPtr<Group> &group, const std::string &name) {
    std::lock_guard<std::mutex> held(lock_);
    if (closed_) return E_FAIL;
    std::string chosen = name;
    while (chosen.empty() || (name.empty() && NameTaken(chosen, nullptr)))
        chosen = "Group" + std::to_string(nextName_++);
    if (NameTaken(chosen, nullptr)) return OPC_E_DUPLICATENAME;
    group->StoreName(chosen);
    groups_.emplace(group->Handle(), group);
    return S_OK;
}

HRESULT ServerCore::Rename(Group &group, const std::string &name) {
    std::lock_guard<std::mutex> held(lock_);
    if (NameTaken(name, &group)) return OPC_E_DUPLICATENAME;
    group.StoreName(name);
    return S_OK;
}

ComPtr<Group> ServerCore::FindByName(const std::string &name) const {
    std::lock_guard<std::mutex> held(lock_);
    for (const auto &entry : groups_) {
        if (entry.second->Name() == name) return entry.second;
    }
    return ComPtr<Group>();
}

ComPtr<Group> ServerCore::Remove(OPCHANDLE handle) {
    std::lock_guard<std::mutex> held(lock_);
    const auto found = groups_.find(handle);
    if (found == groups_.end()) return ComPtr<Group>();
    ComPtr<Group> removed = std::move(found->second);
    groups_.erase(found);
    return removed;
}

std::vector<ComPtr<Group>> ServerCore::Groups() const {
    std::lock_guard<std::mutex> held(lock_);
    std::vector<ComPtr<Group>> groups;
    groups.reserve(groups_.size());
    for (const auto &entry : groups_) groups.push_back(entry.second);
    return groups;
}

DWORD ServerCore::GroupCount() const {
    std::lock_guard<std::mutex> held(lock_);
    return static_cast<DWORD>(groups_.size());
}

void ServerCore::Close() {
    std::map<OPCHANDLE, ComPtr<Group>> gone;
    {
        std::lock_guard<std::mutex> held(lock_);
        closed_ = true;
        owner_ = nullptr;
        gone.swap(groups_);
    }
    for (auto &entry : gone) entry.second->Disconnect();
}

void ServerCore::SubscriptionLost(Group *lost) {
    std::vector<ComPtr<Group>> groups;
    ServerObject *owner = nullptr;
    {
        std::lock_guard<std::mutex> held(lock_);
        if (disconnected_) return;
        for (const auto &entry : groups_) {
            if (entry.second->Subscribed()) return;  // the client still answers there
        }
        groups.reserve(groups_.size() + 1);
        for (const auto &entry : groups_) groups.push_back(entry.second);
        if (lost != nullptr && groups_.count(lost->Handle()) == 0) groups.push_back(ComPtr<Group>::Share(lost));
        // A reference of its own, unless the server object is already finishing.
        if (owner_ != nullptr && owner_->AddRefUnlessGone()) owner = owner_;
        disconnected_ = true;
    }
    for (const ComPtr<Group> &group : groups) disconnect_object(group->Identity(), 0);
    groups.clear();
    if (owner == nullptr) return;
    disconnect_object(owner->Identity(), 0);
    owner->ReleaseInner();  // may be the session's final release
}
