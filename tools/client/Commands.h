// The four commands, each on a server that activation has reached; each
// returns the process's exit code.
#pragma once

#include "ClientIo.h"
#include "ClientOptions.h"
#include "opc_da.h"

int ListCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io);
int ReadCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io);
int WatchCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io);
int StatusCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io);
