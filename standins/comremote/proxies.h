// The client's stand-ins for the server's objects: each forwards the calls a
// client may make across processes and answers E_NOTIMPL to the others.
#pragma once

#include <cstdint>
#include <memory>

#include "client_core.h"

namespace comremote {

// The object the server handed out under an id, as the given interface,
// with one reference for the caller (which owns the server's reference too).
HRESULT NewServerProxy(const std::shared_ptr<ClientCore> &core, std::uint32_t id, REFIID riid, void **object);

}  // namespace comremote
