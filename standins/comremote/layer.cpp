// Joins the layer to the COM runtime when a program links it: from then on
// class objects registered for local-server use are published to other
// processes, and local-server activations reach them.
#include "activation.h"
#include "platform/com_remote.h"
#include "server_side.h"

namespace {

const ComRemoteLayer kLayer = {comremote::Publish, comremote::Withdraw, comremote::ActivateRemote,
                               comremote::DisconnectObject};

struct Installer {
    Installer() { com_InstallRemoteLayer(&kLayer); }
} installer;

}  // namespace
