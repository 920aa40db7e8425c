// The proxy/stub of the OPC Data Access interfaces, registered only for the
// interfaces that have none: on a machine with the OPC core components the
// standard proxy/stub stays in charge. Results are the system's error numbers.
#pragma once

#include <windows.h>

#include "registry_keys.h"

// In each registry view, points every OPC interface without a registered
// proxy/stub at ours, the DLL of that bitness beside the running executable;
// nothing in a view whose DLL is not there.
LONG RegisterMissingProxies(RegistryChanges *changes);
// Removes the interfaces' entries that name our proxy/stub, then its class, in
// both views: what RegisterMissingProxies wrote, and nothing another product wrote.
LONG UnregisterOurProxies();
