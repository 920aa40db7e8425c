#include "server_core.h"

#include "group.h"

ServerCore::ServerCore(std::shared_ptr<TagCache> tags) : cache(std::move(tags)) {}

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
        gone.swap(groups_);
    }
    for (auto &entry : gone) entry.second->Disconnect();
}
