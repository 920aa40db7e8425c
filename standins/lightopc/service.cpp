// The toolkit calls on the service, its tags, its cache and its clients. No
// exception leaves them: their callers are C-style code on COM's threads.
#include <cerrno>
#include <new>

#include "handles.h"
#include "server_object.h"

int loServiceCreate(loService **service, const loDriver *driver, unsigned tagCount) {
    if (service == nullptr) return EINVAL;
    *service = nullptr;
    if (driver == nullptr) return EINVAL;
    try {
        *service = handles::AddService(std::make_unique<loService>(tagCount, *driver));
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
    return 0;
}

int loServiceDestroy(loService *service) {
    std::vector<ServerObject *> clients;
    try {
        clients = handles::ClientsOf(service);
    } catch (const std::bad_alloc &) {
        // The service still goes; its clients learn it from their next calls.
    }
    if (!handles::RemoveService(service)) {
        for (ServerObject *client : clients) client->ReleaseInner();
        return EINVAL;
    }
    // Told outside every lock of the toolkit: a client may call back, or let go.
    for (ServerObject *client : clients) {
        client->RequestShutdown();
        client->ReleaseInner();
    }
    return 0;
}

int loAddRealTag(loService *service, loTagId *tagId, loRealTag realTag, const char *name, int, unsigned accessRights,
                 VARIANT *initialValue, int, void *) {
    const std::shared_ptr<TagCache> cache = handles::FindService(service);
    if (cache == nullptr) return EINVAL;
    try {
        return cache->Add(name, realTag, accessRights, initialValue, tagId);
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

int loCacheUpdate(loService *service, unsigned count, loTagValue *values, int) {
    const std::shared_ptr<TagCache> cache = handles::FindService(service);
    if (cache == nullptr) return 0;
    if (count == 0) return 1;
    if (values == nullptr) return 0;
    return cache->Update(count, values) ? 1 : 0;
}

int loClientCreate_agg(loService *service, loClient **client, IUnknown *outer, IUnknown **inner, int,
                       const loVendorInfo *vendor, loReleaseCallback release, void *releaseArgument) {
    if (client == nullptr || inner == nullptr) return EINVAL;
    *client = nullptr;
    *inner = nullptr;
    std::shared_ptr<TagCache> cache = handles::FindService(service);
    if (cache == nullptr) return EINVAL;
    ServerObject *created = nullptr;
    try {
        created = new ServerObject(std::move(cache), service, outer, vendor, release, releaseArgument);
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
    loClient *const handle = handles::AddClient(created);
    if (handle == nullptr) {
        created->Abandon();
        return ENOMEM;
    }
    created->SetHandle(handle);
    *client = handle;
    *inner = created->Inner();
    return 0;
}

int loSetState(loService *service, loClient *client, int operation, int state, const char *reason) {
    bool done = false;
    handles::WithClient(service, client,
                        [&](ServerObject &object) { done = object.SetState(operation, state, reason); });
    return done ? 0 : EINVAL;
}
