#!/usr/bin/env bash
# The Debian packages as a user gets them: made by CPack from the build tree, checked by
# lintian (an error fails), unpacked into temporary roots (never installed). From the
# development root an example is built with pkg-config and with find_package(tty) and run on
# a `vcom echo` port; from a root of only the runtime and the programs package, Demo runs
# under Xvfb and, driven by the keyboard, connects to a `vcom cat` port and types to it.
#   package_test.sh BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER
# Exits 77 (skipped) where dpkg-shlibdeps, file, lintian, Xvfb or xdotool are missing.
set -euo pipefail
build=$1 src=$2 work=$3 cc=$4
pids=()

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }; done
  exit 1
}
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
for tool in dpkg-shlibdeps file lintian Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work"

# A copy of the build tree's install script may not run concurrently with another install
# of the same tree; this test is the only one that installs.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack"
debs=("$work"/packages/*.deb)
[ ${#debs[@]} -eq 3 ] || fail "${#debs[@]} packages, want 3"
lintian --fail-on error "${debs[@]}" >"$work/lintian.log" 2>&1 || fail "lintian found errors"
grep -v '^running with root' "$work/lintian.log" || true

# Which package is which, by what it holds.
declare -A listing
for d in "${debs[@]}"; do listing[$d]=$(dpkg-deb -c "$d"); done
holding() { # PATTERN: the package with a path matching PATTERN
  local d
  for d in "${debs[@]}"; do grep -q -- "$1" <<<"${listing[$d]}" && { echo "$d"; return; }; done
  echo "none"
}
soname=$(readelf -d "$build/lib/libtty.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
runtime=$(holding "/usr/lib/$soname ")
development=$(holding "/usr/include/tty.h")
programs=$(holding "/usr/bin/Demo")
[ "$runtime" != none ] && [ "$development" != none ] && [ "$programs" != none ] ||
  fail "no package holds $soname, tty.h or Demo"
grep -q '/libtty\.so -> ' <<<"${listing[$runtime]}" && fail "the runtime package has the development link"
runtime_name=$(dpkg-deb -f "$runtime" Package)
for deb in "$development" "$programs"; do
  grep -Eq "(^|, )$runtime_name \(= " <<<"$(dpkg-deb -f "$deb" Depends)" ||
    fail "$(dpkg-deb -f "$deb" Package) does not depend on $runtime_name"
done

# The example command.c, built against the development root both ways, on a vcom echo port.
dev=$work/dev-root
for deb in "$runtime" "$development" "$programs"; do dpkg-deb -x "$deb" "$dev"; done
export PKG_CONFIG_PATH=$dev/usr/lib/pkgconfig
read -r -a pc_flags <<<"$(pkg-config --cflags --libs tty)"
libdir=$(pkg-config --variable=libdir tty)
[ "$(readlink -f "$libdir")" = "$dev/usr/lib" ] || fail "tty.pc names $libdir"
"$cc" -Wall -Wextra -Werror -o "$work/command_pc" "$src/examples/command.c" \
  "${pc_flags[@]}" -Wl,-rpath,"$libdir" || fail "build with pkg-config"
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$dev/usr" -DTTY_EXAMPLE="$src/examples/command.c" >"$work/consumer.log" 2>&1 ||
  fail "configure with find_package(tty)"
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || fail "build with find_package(tty)"
for exe in "$work/command_pc" "$work/consumer/command"; do
  loaded=$(ldd "$exe" | awk -v so="$soname" '$1 == so { print $3 }')
  [ "$(readlink -f "$loaded")" = "$(readlink -f "$dev/usr/lib/$soname")" ] ||
    fail "$exe loads '$loaded', not the unpacked library"
  out=$("$src/examples/run_example.sh" "$dev/usr/bin/vcom" local "$exe" "AT+GMI") ||
    fail "$exe on a vcom echo port"
  [ "$out" = "AT+GMI" ] || fail "$exe printed '$out'"
done
echo "pkg-config and find_package(tty): the example runs on the unpacked library"

# Demo from a root that has the runtime package's library and nothing else of ours.
run=$work/run-root
dpkg-deb -x "$runtime" "$run"
dpkg-deb -x "$programs" "$run"
desktop=$run/usr/share/applications/Demo.desktop
exec_path=$(sed -n 's/^Exec="\{0,1\}\([^" ]*\).*/\1/p' "$desktop")
[ -x "$run$exec_path" ] || fail "the desktop entry starts '$exec_path', which the package lacks"
icon=$(sed -n 's/^Icon=//p' "$desktop")
compgen -G "$run/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null || fail "no icon $icon"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(tr -d '\n' <"$work/display")" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$work/xdg
unset WAYLAND_DISPLAY LD_LIBRARY_PATH
mkdir -m 700 "$XDG_RUNTIME_DIR"
export TTY_COM_DIR=$work/map
mkdir "$TTY_COM_DIR"
"$run/usr/bin/vcom" cat COM2 </dev/null >"$work/received" 2>"$work/vcom.log" &
pids+=($!)
for _ in $(seq 100); do [ -L "$TTY_COM_DIR/COM2" ] && break; sleep 0.05; done
"$run/usr/bin/Demo" >"$work/demo.log" 2>&1 &
demo_pid=$!
pids+=("$demo_pid")
win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Demo$' | head -n 1) ||
  fail "Demo's window did not appear"
keys() { xdotool windowfocus --sync "$1" && shift && xdotool key --delay 120 "$@"; }
# Setting (a menu opened before the window takes keys misses them: try again), OK, Connect.
for _ in 1 2 3; do
  keys "$win" alt+o s
  dialog=$(timeout 5 xdotool search --sync --onlyvisible --name '^Setting Box$' | head -n 1) && break
  xdotool key Escape Escape
done
[ -n "${dialog:-}" ] || fail "no settings dialog"
keys "$dialog" Tab Tab Tab Tab Tab space
sleep 0.5
keys "$win" alt+a c
sleep 0.5
xdotool type --delay 80 hi
for _ in $(seq 100); do [ "$(cat "$work/received")" = hi ] && break; sleep 0.1; done
[ "$(cat "$work/received")" = hi ] || fail "COM2 received '$(cat "$work/received")', want 'hi'"
kill -TERM "$demo_pid"
wait "$demo_pid" || fail "Demo ended with status $?"
echo "Demo with only $(basename "$runtime")'s library: connected and typed to COM2"
