// Connection globals and the run-time binding of the serial library (see velkomod.h).
#include "velkomod.h"

#include "message.h"

#include <tty.h>

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace velkomod {

int32_t ComPort = 0;
int32_t ComFlag = 0;
int32_t ComOpen = 0;

namespace {

QString &overriddenPath()
{
    static QString path;
    return path;
}

[[noreturn]] void fail(const QString &text)
{
    zantic::showMessage(nullptr, text);
    std::fflush(nullptr);
    std::exit(EXIT_FAILURE);
}

void *library()
{
    static void *handle = [] {
        const QString path = libraryPath();
        void *h = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char *why = dlerror();
            fail(QStringLiteral("Cannot load the library %1: %2")
                     .arg(path, QString::fromLocal8Bit(why ? why : "unknown reason")));
        }
        return h;
    }();
    return handle;
}

// Looks a function up by name; loads the library first if this is the first look-up.
template <typename Fn>
Fn bind(const char *name)
{
    void *lib = library();
    dlerror();
    void *sym = dlsym(lib, name);
    if (!sym) {
        const char *why = dlerror();
        fail(QStringLiteral("The library %1 has no function %2: %3")
                 .arg(libraryPath(), QString::fromLatin1(name),
                      QString::fromLocal8Bit(why ? why : "symbol is null")));
    }
    return reinterpret_cast<Fn>(sym);
}

} // namespace

QString libraryPath()
{
    if (!overriddenPath().isEmpty())
        return overriddenPath();
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QDir::cleanPath(QFileInfo(exe).absolutePath() + QStringLiteral("/../lib/libtty.so"));
}

void setLibraryPathForTesting(const QString &path) { overriddenPath() = path; }

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

} // namespace velkomod
