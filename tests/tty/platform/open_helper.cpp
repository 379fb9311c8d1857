// Opens the COM port named on the command line in a process of its own and exits with the
// last error (0 when the open succeeded).
#include "win32.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 100;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return int(GetLastError() & 0xFF);
    CloseHandle(h);
    return 0;
}
