// The serial library's functions as the program calls them, the same for every face of Demo.
// The library is not linked: each function is looked up by name at its own first call through
// lookup(), which each face defines (it loads the library at the first look-up, and reports a
// library or function that is missing and ends the program). Standard C++ only.
#pragma once

#include <cstdint>

namespace zantic::core {

using LibraryFunction = void (*)();

// Defined by the face: the library's function `name`, never null.
LibraryFunction lookup(const char *name);

// Results that the library gives as unsigned counts are returned as signed 32-bit values, so
// that its failure value reads as -1.
int32_t IOP_Open(int32_t port, int32_t cflag);
int32_t IOP_Close(int32_t port);
int32_t IOP_Write(int32_t port, const char *buffer, int32_t count);
int32_t IOP_Putc(int32_t port, const char *c);
int32_t IOP_Read(int32_t port, char *buffer, int32_t count);
int32_t IOP_Getc(int32_t port, char *c);
int32_t IOP_DIQ_Count(int32_t port);

// The calls a terminal session makes, as plain functions so that a test can script them.
struct PortCalls {
    int32_t (*open)(int32_t port, int32_t cflag) = nullptr;                      // IOP_Open
    int32_t (*close)(int32_t port) = nullptr;                                    // IOP_Close
    int32_t (*write)(int32_t port, const char *buffer, int32_t count) = nullptr; // IOP_Write
    int32_t (*putc)(int32_t port, const char *c) = nullptr;                      // IOP_Putc
    int32_t (*waiting)(int32_t port) = nullptr;                                  // IOP_DIQ_Count
    int32_t (*read)(int32_t port, char *buffer, int32_t count) = nullptr;        // IOP_Read
    int32_t (*getc)(int32_t port, char *c) = nullptr;                            // IOP_Getc
};

// The functions above, bound at their first calls.
inline constexpr PortCalls kLibraryCalls{&IOP_Open,      &IOP_Close, &IOP_Write, &IOP_Putc,
                                         &IOP_DIQ_Count, &IOP_Read,  &IOP_Getc};

} // namespace zantic::core
