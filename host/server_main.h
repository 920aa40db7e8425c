// The server's entry: everything the process does, on its main thread.
#pragma once

// argv as main received it; only argv[1] is examined. Returns the exit code:
// 1 after a failed registration or unregistration, otherwise 0.
int server_main(char **argv);
