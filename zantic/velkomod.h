// The program's module: the three connection globals and the binding of the serial library.
// The library is not linked: it is loaded from ../lib/libtty.so next to the executable's own
// directory at the first call of any of its functions, and each function is looked up by
// name at its own first call. A library that cannot be loaded, or lacks a function that is
// called, is reported in a message box and ends the program.
#pragma once

#include <QString>
#include <cstdint>

namespace velkomod {

// Connection globals: 0 at start. ComPort and ComFlag are what the settings dialog's OK
// confirmed; ComOpen is 1 while a Connect has succeeded and no Disconnect followed.
extern int32_t ComPort;
extern int32_t ComFlag;
extern int32_t ComOpen;

// Where the library is loaded from: ../lib/libtty.so relative to the directory of
// /proc/self/exe, unless a test has set another path before the first call.
QString libraryPath();
void setLibraryPathForTesting(const QString &path);

// The library functions the program uses. Results that the library gives as unsigned
// counts are returned as signed 32-bit values, so that its failure value reads as -1.
int32_t IOP_Open(int32_t port, int32_t cflag);
int32_t IOP_Close(int32_t port);
int32_t IOP_Write(int32_t port, const char *buffer, int32_t count);
int32_t IOP_Putc(int32_t port, const char *c);
int32_t IOP_Read(int32_t port, char *buffer, int32_t count);
int32_t IOP_Getc(int32_t port, char *c);
int32_t IOP_DIQ_Count(int32_t port);

} // namespace velkomod
