// Reaching the server: the ProgID looked up, the server activated as a local
// server, and every failure on the way turned into the tool's exit code and
// message. The commands get the activation as a function, so that tests can
// hand them a server object of their own.
#pragma once

#include <functional>
#include <string>

#include "ComRef.h"
#include "opc_da.h"

struct Activation {
    ComRef<IOPCServer> server;  // null when activation failed
    int exitCode = 0;
    std::string message;  // why it failed, for the error line
};

using Activator = std::function<Activation(const std::string &progId)>;

enum class ActivationStep { LookUp, Create };
// The outcome of a failed step: a ProgID that cannot be looked up is not
// registered; of CoCreateInstance's failures, a missing class means the
// same, failures to run the registered command line mean it cannot be
// started, a server at its limit of connections says it is busy, and
// everything else (access denied, the factory's own failure) means the
// server refused us.
Activation ActivationFailure(const std::string &progId, ActivationStep step, HRESULT result);

// CLSIDFromProgID and CoCreateInstance(CLSCTX_LOCAL_SERVER) for IOPCServer,
// on a thread that has initialised COM.
Activation ActivateLocalServer(const std::string &progId);
