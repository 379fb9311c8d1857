// The program's module: the binding of the serial library (its functions are declared in
// core/library.h). The library is not linked: it is loaded
// from ../lib/libtty.so.1 next to the executable's own directory at the first call of any of
// its functions, and each function is looked up by name at its own first call. A library
// that cannot be loaded, or lacks a function that is called, is reported in a message box
// and ends the program.
#pragma once

#include "core/library.h"

#include <QString>

namespace velkomod {

using zantic::core::LibraryFunction;

// The library's function `name`, never null (the core's lookup()).
LibraryFunction lookup(const char *name);

// Where the library is loaded from: ../lib/libtty.so.1 relative to the directory of
// /proc/self/exe, unless a test has set another path before the first call.
QString libraryPath();
void setLibraryPathForTesting(const QString &path);

} // namespace velkomod
