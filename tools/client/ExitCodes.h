// The exit codes of brisvale-client: distinct, so that a script can tell why
// it got no values. docs/client.md and --help list them.
#pragma once

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,        // any other failure, the server going away included
    kExitUsage = 2,          // the command line cannot be used
    kExitNotRegistered = 3,  // no such ProgID, or no class behind it
    kExitCannotStart = 4,    // registered, but the server did not start
    kExitRefused = 5,        // the server refused the client (access, or its factory failed)
    kExitUnknownTag = 6,     // a tag named on the command line does not exist
};
