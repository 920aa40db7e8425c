#include "server_main.h"

int main(int, char **argv, char **) {
    return server_main(argv);
}
