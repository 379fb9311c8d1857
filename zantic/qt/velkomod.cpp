// The run-time binding of the serial library (see velkomod.h).
#include "velkomod.h"

#include "message.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace velkomod {

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

} // namespace

QString libraryPath()
{
    if (!overriddenPath().isEmpty())
        return overriddenPath();
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QDir::cleanPath(QFileInfo(exe).absolutePath() + QStringLiteral("/../lib/libtty.so.1"));
}

void setLibraryPathForTesting(const QString &path) { overriddenPath() = path; }

LibraryFunction lookup(const char *name)
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
    return reinterpret_cast<LibraryFunction>(sym);
}

} // namespace velkomod

zantic::core::LibraryFunction zantic::core::lookup(const char *name)
{
    return velkomod::lookup(name);
}
