// Opens one port in a process of its own and exits with IOP_Open's result (255 for -1):
// shows that another process cannot take a device the tests hold.
#include "tty.h"

#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int32_t result = IOP_Open(std::atoi(argv[1]), std::atoi(argv[2]));
    return result & 0xFF;
}
