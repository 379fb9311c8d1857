// The serial library's functions, each bound at its first call (see library.h).
#include "library.h"

#include <tty.h>

namespace zantic::core {

namespace {

template <typename Fn> Fn bind(const char *name)
{
    return reinterpret_cast<Fn>(lookup(name));
}

} // namespace

// Each wrapper binds its function once, at its first call; later calls go straight through.

int32_t IOP_Open(int32_t port, int32_t cflag)
{
    static const auto fn = bind<decltype(&::IOP_Open)>("IOP_Open");
    return fn(port, cflag);
}

int32_t IOP_Close(int32_t port)
{
    static const auto fn = bind<decltype(&::IOP_Close)>("IOP_Close");
    return fn(port);
}

int32_t IOP_Write(int32_t port, const char *buffer, int32_t count)
{
    static const auto fn = bind<decltype(&::IOP_Write)>("IOP_Write");
    return int32_t(fn(port, buffer, count));
}

int32_t IOP_Putc(int32_t port, const char *c)
{
    static const auto fn = bind<decltype(&::IOP_Putc)>("IOP_Putc");
    return fn(port, c);
}

int32_t IOP_Read(int32_t port, char *buffer, int32_t count)
{
    static const auto fn = bind<decltype(&::IOP_Read)>("IOP_Read");
    return int32_t(fn(port, buffer, count));
}

int32_t IOP_Getc(int32_t port, char *c)
{
    static const auto fn = bind<decltype(&::IOP_Getc)>("IOP_Getc");
    return fn(port, c);
}

int32_t IOP_DIQ_Count(int32_t port)
{
    static const auto fn = bind<decltype(&::IOP_DIQ_Count)>("IOP_DIQ_Count");
    return int32_t(fn(port));
}

} // namespace zantic::core
