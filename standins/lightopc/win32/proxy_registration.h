// The proxy/stub of the OPC Data Access interfaces, registered only for the
// interfaces that have none: on a machine with the OPC core components the
// standard proxy/stub stays in charge. Results are the system's error numbers.
#pragma once

#include <windows.h>

// Points every OPC interface without a registered proxy/stub at ours, the DLL
// beside the running executable; nothing when that DLL is not there.
LONG RegisterMissingProxies();
// Removes the interfaces' entries that name our proxy/stub, then its class:
// what RegisterMissingProxies wrote, and nothing another product wrote.
LONG UnregisterOurProxies();
