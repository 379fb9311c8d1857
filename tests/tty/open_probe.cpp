// Opens one port in a process of its own and exits with IOP_Open's result (255 for -1):
// shows that another process cannot take a device the tests hold. Like any program done with
// a port, it closes what it opened.
#include "tty.h"

#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int32_t port = std::atoi(argv[1]);
    const int32_t result = IOP_Open(port, std::atoi(argv[2]));
    if (result == 0) IOP_Close(port);
    return result & 0xFF;
}
