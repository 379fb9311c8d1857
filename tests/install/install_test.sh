#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, checks the layout, builds a C program against
# the installed library with pkg-config and with find_package(tty), and runs both on a port
# of the installed vcom.
#   install_test.sh BUILD_DIR WORK_DIR C_COMPILER "C_FLAGS" "LINKER_FLAGS"
set -euo pipefail
build=$1 work=$2 cc=$3 cflags=${4:-} ldflags=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
vcom_pid=

fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() { [ -n "$vcom_pid" ] && kill "$vcom_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
# A copy of the build tree's install script may not be run concurrently with another
# install of the same tree; this test is the only one that installs.
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

for f in bin/vcom include/tty.h lib/libtty.so lib/pkgconfig/tty.pc \
         lib/cmake/tty/ttyConfig.cmake lib/cmake/tty/ttyConfigVersion.cmake lib/cmake/tty/ttyTargets.cmake; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
soname=$(readelf -d "$prefix/lib/libtty.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ -n "$soname" ] || fail "libtty.so has no SONAME"
[ -e "$prefix/lib/$soname" ] || fail "no link $soname for the SONAME"
[ -L "$prefix/lib/libtty.so" ] || fail "libtty.so is not the development link"
if [ -e "$build/bin/Demo" ]; then
  [ -x "$prefix/bin/Demo" ] || fail "bin/Demo is not installed"
  desktop=$prefix/share/applications/Demo.desktop
  [ -f "$desktop" ] || fail "the desktop entry is not installed"
  grep -qx "Exec=\"$prefix/bin/Demo\"" "$desktop" || fail "the desktop entry does not start the installed Demo"
fi

# With pkg-config, as a Makefile would.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a pc_flags <<<"$(pkg-config --cflags --libs tty)"
libdir=$(pkg-config --variable=libdir tty)
# shellcheck disable=SC2086
"$cc" $cflags -std=c99 -Wall -Wextra -Werror -o "$work/echo_check_pc" "$here/echo_check.c" \
  "${pc_flags[@]}" -Wl,-rpath,"$libdir" $ldflags || fail "build with pkg-config"

# With the CMake package.
cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  >"$work/consumer.log" || { cat "$work/consumer.log"; fail "configure with find_package(tty)"; }
cmake --build "$work/consumer" >>"$work/consumer.log" || { cat "$work/consumer.log"; fail "build with find_package(tty)"; }

# Both must use the installed library, not the one in the build tree.
installed=$(readlink -f "$prefix/lib/$soname")
for exe in "$work/echo_check_pc" "$work/consumer/echo_check"; do
  loaded=$(ldd "$exe" | awk -v so="$soname" '$1 == so { print $3 }')
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$installed" ] ||
    { ldd "$exe"; fail "$exe does not load the installed library"; }
done

# Run both on a port of the installed vcom.
export TTY_COM_DIR=$work/map
mkdir -p "$TTY_COM_DIR"
"$prefix/bin/vcom" echo COM9 2>"$work/vcom.log" &
vcom_pid=$!
for _ in $(seq 100); do [ -L "$TTY_COM_DIR/COM9" ] && break; sleep 0.05; done
[ -L "$TTY_COM_DIR/COM9" ] || { cat "$work/vcom.log"; fail "vcom did not map COM9"; }
"$work/echo_check_pc" 9 || fail "the pkg-config build"
"$work/consumer/echo_check" 9 || fail "the CMake build"
kill "$vcom_pid"
wait "$vcom_pid" || fail "vcom ended with status $?"
vcom_pid=
[ -z "$(ls -A "$TTY_COM_DIR")" ] || fail "vcom left entries behind"
echo "install test passed"
