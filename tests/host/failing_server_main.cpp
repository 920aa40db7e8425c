// The server with a polling pass that throws at once, for the black-box test
// of the loop's exception guard. BRISVALE_TEST_POLL_THROW picks what is thrown:
// "cerror" (the default) or "other".
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "CError.h"
#include "server_main.h"
#include "service_loop.h"

namespace {
void throw_error() {
    ThrowError(L"poll failed on purpose");
}
void throw_other() {
    throw std::runtime_error("poll failed on purpose");
}
}  // namespace

int main(int, char **argv, char **) {
    const char *kind = std::getenv("BRISVALE_TEST_POLL_THROW");
    poll_pass = kind != nullptr && std::strcmp(kind, "other") == 0 ? throw_other : throw_error;
    return server_main(argv);
}
