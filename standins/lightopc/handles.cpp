#include "handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "server_object.h"

namespace handles {
namespace {

// A service handle is a number drawn once per process, disguised as a pointer
// that is never dereferenced: a destroyed service's handle can never name a
// later one, whatever the allocator does with the memory.
using ServiceId = std::uintptr_t;

struct Table {
    std::mutex lock;
    std::unordered_map<ServiceId, std::unique_ptr<loService>> services;
    std::unordered_set<const loClient *> clients;
    ServiceId nextService = 1;
};

ServiceId IdOf(const loService *service) {
    return reinterpret_cast<ServiceId>(service);
}

// Never destroyed: clients may be released by other static objects at exit.
Table &TheTable() {
    static Table *table = new Table;
    return *table;
}

}  // namespace

loService *AddService(std::unique_ptr<loService> service) {
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    const ServiceId id = table.nextService;
    table.services.emplace(id, std::move(service));
    ++table.nextService;
    return reinterpret_cast<loService *>(id);
}

std::shared_ptr<TagCache> FindService(const loService *service) {
    if (service == nullptr) return nullptr;
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    const auto found = table.services.find(IdOf(service));
    return found == table.services.end() ? nullptr : found->second->cache;
}

bool RemoveService(loService *service) {
    if (service == nullptr) return false;
    Table &table = TheTable();
    std::unique_ptr<loService> gone;
    {
        std::lock_guard<std::mutex> held(table.lock);
        const auto found = table.services.find(IdOf(service));
        if (found == table.services.end()) return false;
        gone = std::move(found->second);
        table.services.erase(found);
    }
    return true;
}

bool AddClient(ServerObject *client) {
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    try {
        table.clients.insert(static_cast<const loClient *>(client));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

loService *RemoveClient(ServerObject *client, loService *owner) {
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    table.clients.erase(static_cast<const loClient *>(client));
    return table.services.count(IdOf(owner)) != 0 ? owner : nullptr;
}

std::vector<ServerObject *> ClientsOf(const loService *service) {
    Table &table = TheTable();
    std::vector<ServerObject *> clients;
    std::lock_guard<std::mutex> held(table.lock);
    for (const loClient *client : table.clients) {
        ServerObject *object = static_cast<ServerObject *>(const_cast<loClient *>(client));
        if (object->Owner() == service && object->AddRefUnlessGone()) clients.push_back(object);
    }
    return clients;
}

bool WithClient(const loService *service, const loClient *client, const std::function<void(ServerObject &)> &action) {
    if (service == nullptr || client == nullptr) return false;
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    if (table.services.count(IdOf(service)) == 0 || table.clients.count(client) == 0) return false;
    ServerObject &object = *static_cast<ServerObject *>(const_cast<loClient *>(client));
    if (object.Owner() != service) return false;
    action(object);
    return true;
}

}  // namespace handles
