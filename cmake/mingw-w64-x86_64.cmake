# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64):
#   cmake --preset windows   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
# The posix flavour of the compilers has the C++ threads library; tty.dll links its run-time
# statically, so the choice adds no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TTY_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TTY_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TTY_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TTY_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TTY_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
