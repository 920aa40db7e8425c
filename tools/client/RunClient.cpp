#include "RunClient.h"

#include "Commands.h"
#include "ExitCodes.h"

int RunClient(const ClientOptions &options, const Activator &activate, ClientIo &io) {
    Activation activation = activate(options.server);
    if (!activation.server) {
        io.Error(activation.message);
        return activation.exitCode != kExitOk ? activation.exitCode : kExitFailure;
    }
    IOPCServer *server = activation.server.get();
    switch (options.command) {
        case ClientCommand::List:
            return ListCommand(server, options, io);
        case ClientCommand::Read:
            return ReadCommand(server, options, io);
        case ClientCommand::Watch:
            return WatchCommand(server, options, io);
        case ClientCommand::Status:
            return StatusCommand(server, options, io);
        case ClientCommand::None:
            break;
    }
    return kExitUsage;
}
