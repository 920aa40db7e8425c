// The table of live service handles and client objects. Every call checks its
// handles here first, so that a destroyed service or a released client is
// refused instead of being touched.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "tag_cache.h"

struct loService {
    loService(unsigned capacity, const loDriver &descriptor)
        : cache(std::make_shared<TagCache>(capacity, descriptor.ldRefreshRate)), driver(descriptor) {}

    const std::shared_ptr<TagCache> cache;
    const loDriver driver;
};

class ServerObject;

namespace handles {

// Throws std::bad_alloc when the table cannot grow.
loService *AddService(std::unique_ptr<loService> service);
// The service's cache, or null when the handle is not a live service.
std::shared_ptr<TagCache> FindService(const loService *service);
// Forgets and frees the service; false when it was not live.
bool RemoveService(loService *service);

// The client's handle: a small object that passes its IUnknown calls on to
// the client, kept (and never reused) for the rest of the process so that a
// released client's handle can never name a later one. Null when the table
// could not grow.
loClient *AddClient(ServerObject *client);
// Forgets a client at its final release: its handle names nothing from now
// on. Returns owner while that service is still live, else null.
loService *RemoveClient(const loClient *handle, loService *owner);
// Takes a reference on every live client of service (for a shutdown request).
std::vector<ServerObject *> ClientsOf(const loService *service);
// Runs action on client while the table holds it alive; false when the
// handles are not a live client of a live service.
bool WithClient(const loService *service, const loClient *client, const std::function<void(ServerObject &)> &action);

}  // namespace handles
