// Who the server is to COM: one class id, one ProgID, one description.
#pragma once

#include "platform/com.h"

extern const CLSID CLSID_BrisvaleServer;

// Also the name of the server's log.
constexpr const char *kProgId = "OPC.Brisvale.1";
constexpr const char *kServerDescription = "Brisvale OPC server";
