// The server's stand-in for a client's IOPCDataCallback sink: each call is
// queued for the client and returns at once; it fails with
// RPC_S_SERVER_UNAVAILABLE once the client is gone or too slow.
#pragma once

#include <cstdint>
#include <memory>

#include "outbox.h"

struct IUnknown;

namespace comremote {

// A new sink stand-in with one reference for the caller.
IUnknown *NewCallbackProxy(std::shared_ptr<Outbox> outbox, std::uint32_t sinkId);

}  // namespace comremote
