// The server process's half of the layer: class objects published on their
// sockets, a thread per connecting client, and disconnection of objects.
#pragma once

#include "platform/com.h"

namespace comremote {

HRESULT Publish(REFCLSID clsid, IUnknown *classObject, DWORD cookie);
void Withdraw(DWORD cookie);
HRESULT DisconnectObject(IUnknown *object);

// How long a connecting client may take to say hello.
constexpr int kHelloSeconds = 10;
// Connections served at once; more are closed at once.
constexpr int kMaxConnections = 256;

}  // namespace comremote
