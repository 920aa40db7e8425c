// The server with a polling pass that throws at once, for the black-box test
// of the loop's exception guard.
#include "CError.h"
#include "server_main.h"
#include "service_loop.h"

int main(int, char **argv, char **) {
    poll_pass = [] { ThrowError(L"poll failed on purpose"); };
    return server_main(argv);
}
