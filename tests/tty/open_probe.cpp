// Opens one port in a process of its own and exits with IOP_Open's result (255 for -1):
// shows that another process cannot take a device the tests hold. Like any program done with
// a port, it closes what it opened, unless a third argument "leave" asks it to end with the
// port open and a second thread waiting in IOP_Read: the library must then give the device
// back by itself.
#include "tty.h"

#include "stress.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) return 2;
    const int32_t port = std::atoi(argv[1]);
    const int32_t result = IOP_Open(port, std::atoi(argv[2]));
    if (result != 0 || argc == 3) {
        if (result == 0) IOP_Close(port);
        return result & 0xFF;
    }
    if (std::strcmp(argv[3], "leave") != 0) return 2;
    std::atomic<pid_t> reader{0};
    std::thread([&reader, port] {
        reader = stress::thread_id();
        char buf[256];
        while (IOP_Read(port, buf, 1) != 0xFFFFFFFFu) {
        }
    }).detach();
    while (reader == 0) std::this_thread::yield();
    return stress::waiting_in_poll(reader) ? 0 : 3;
}
