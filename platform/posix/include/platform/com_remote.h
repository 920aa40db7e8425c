// Linux only: the narrow plug by which a cross-process layer joins the COM
// runtime. The runtime knows no interface beyond IUnknown and IClassFactory;
// a layer that carries the calls of particular interfaces between processes
// installs itself here, once, before COM is used.
#pragma once

#include <string>

#include "platform/com.h"

struct ComRemoteLayer {
    // A class object was registered with a local-server context: from now on
    // other processes may reach it. A failure leaves the in-process
    // registration standing, except in a process started for activation
    // ("-Embedding"), whose registration then fails with the layer's result.
    HRESULT (*publish)(REFCLSID clsid, IUnknown *classObject, DWORD cookie);
    // The registration of that cookie ended: no new process may reach it.
    void (*withdraw)(DWORD cookie);
    // A new object of a class served by another process (started when needed).
    HRESULT (*activate)(REFCLSID clsid, REFIID riid, void **object);
    // Drops every reference that other processes hold on the object.
    HRESULT (*disconnect)(IUnknown *object);
};

// The layer stays installed for the life of the process; null removes it.
void com_InstallRemoteLayer(const ComRemoteLayer *layer);

// The registry that registration writes, as the layer needs it: its root
// folder as one absolute path without links (empty when none can be named),
// and the local-server command line recorded for a class: S_OK,
// REGDB_E_CLASSNOTREG when the class is not registered or has none, or
// E_ACCESSDENIED when another user than the caller or root owns the
// registry's folders or the class's file, or may write them.
std::string com_RegistryRoot();
HRESULT com_LocalServerCommand(REFCLSID clsid, std::string *commandLine);
