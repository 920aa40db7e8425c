// The OPC Data Access declarations on Windows: the header widl makes of
// opc_da.idl, the same file the proxy/stub DLL is built from.
#pragma once

// The system's COM headers first: the generated one builds on them.
// clang-format off
#include "platform/com_interfaces.h"
#include "opc_da_idl.h"
// clang-format on
