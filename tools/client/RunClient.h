// brisvale-client from its parsed command line to its exit code: activation
// (through the given activator), the command, the release of the server.
#pragma once

#include "Activation.h"
#include "ClientIo.h"
#include "ClientOptions.h"

// The thread has initialised COM.
int RunClient(const ClientOptions &options, const Activator &activate, ClientIo &io);
