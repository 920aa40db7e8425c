// The server process's half of the layer: class objects published on their
// sockets, a thread per connecting client, and disconnection of objects.
#pragma once

#include "platform/com.h"

namespace comremote {

// A failure is said in the log at ERROR and on the console: clients of other
// processes cannot reach the server.
HRESULT Publish(REFCLSID clsid, IUnknown *classObject, DWORD cookie);
void Withdraw(DWORD cookie);
HRESULT DisconnectObject(IUnknown *object);

// Connections served at once; a client beyond them is answered "busy"
// (RPC_S_SERVER_TOO_BUSY) in the hello.
constexpr int kMaxConnections = 256;

}  // namespace comremote
