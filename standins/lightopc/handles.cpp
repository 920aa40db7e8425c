#include "handles.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "server_object.h"

namespace handles {
namespace {

// A service handle is a number drawn once per process, disguised as a pointer
// that is never dereferenced: a destroyed service's handle can never name a
// later one, whatever the allocator does with the memory.
using ServiceId = std::uintptr_t;

// What the factory holds as a client: the creator queries and releases the
// client object through it. Its memory is never given back, so its address
// names one client object for the life of the process.
class ClientHandle final : public loClient {
public:
    explicit ClientHandle(ServerObject *object) : object_(object) {}
    void Retire() { object_ = nullptr; }
    ServerObject *Object() const { return object_; }

    // The caller holds a reference, so the object is alive during the call;
    // a call through a retired handle (a caller's mistake) touches nothing.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        ServerObject *const target = object_;
        if (target != nullptr) return target->QueryInterface(riid, object);
        if (object != nullptr) *object = nullptr;
        return E_UNEXPECTED;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        ServerObject *const target = object_;
        return target != nullptr ? target->AddRef() : 0;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ServerObject *const target = object_;
        return target != nullptr ? target->Release() : 0;
    }

private:
    std::atomic<ServerObject *> object_;
};

struct Table {
    std::mutex lock;
    std::unordered_map<ServiceId, std::unique_ptr<loService>> services;
    // The live clients by handle; the handles of released ones stay in retired.
    std::unordered_map<const loClient *, std::unique_ptr<ClientHandle>> clients;
    std::vector<std::unique_ptr<ClientHandle>> retired;
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

loClient *AddClient(ServerObject *client) {
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    try {
        // Room for its retirement now: the final release must not fail for want of memory.
        const std::size_t needed = table.retired.size() + table.clients.size() + 1;
        if (table.retired.capacity() < needed) table.retired.reserve(std::max(needed, 2 * table.retired.capacity()));
        auto handle = std::make_unique<ClientHandle>(client);
        loClient *const key = handle.get();
        table.clients.emplace(key, std::move(handle));
        return key;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

loService *RemoveClient(const loClient *handle, loService *owner) {
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    const auto found = table.clients.find(handle);
    if (found != table.clients.end()) {
        found->second->Retire();
        table.retired.push_back(std::move(found->second));
        table.clients.erase(found);
    }
    return table.services.count(IdOf(owner)) != 0 ? owner : nullptr;
}

std::vector<ServerObject *> ClientsOf(const loService *service) {
    Table &table = TheTable();
    std::vector<ServerObject *> clients;
    std::lock_guard<std::mutex> held(table.lock);
    for (const auto &entry : table.clients) {
        ServerObject *object = entry.second->Object();
        if (object->Owner() == service && object->AddRefUnlessGone()) clients.push_back(object);
    }
    return clients;
}

bool WithClient(const loService *service, const loClient *client, const std::function<void(ServerObject &)> &action) {
    if (service == nullptr || client == nullptr) return false;
    Table &table = TheTable();
    std::lock_guard<std::mutex> held(table.lock);
    if (table.services.count(IdOf(service)) == 0) return false;
    const auto found = table.clients.find(client);
    if (found == table.clients.end()) return false;
    ServerObject &object = *found->second->Object();
    if (object.Owner() != service) return false;
    action(object);
    return true;
}

}  // namespace handles
