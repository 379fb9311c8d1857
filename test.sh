#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the default build (with the
# Windows check, tty.dll cross-built and run under Wine, and the library on real serial
# drivers in a virtual machine), then the same tests under AddressSanitizer +
# UndefinedBehaviorSanitizer (without those two), then the tty library's tests under
# ThreadSanitizer.
#   ./test.sh          all tests, all three builds
#   ./test.sh --quick  the same without the Windows check (label "windows"), its packages, and
#                      the virtual machine with real serial drivers (label "vm")
#   ./test.sh --bench  the benchmarks instead (they print their figures)
set -euo pipefail
cd "$(dirname "$0")"
source tools/scripts/deps.sh
quick=()
case "${1:-}" in
--quick | --bench)
  ensure_packages "${TTY_TEST_PACKAGES[@]}"
  [ "$1" = --quick ] && quick=(-LE 'windows|vm')
  ;;
*) ensure_packages "${TTY_TEST_PACKAGES[@]}" "${TTY_WINDOWS_PACKAGES[@]}" ;;
esac

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

if [ "${1:-}" = "--bench" ]; then
  build default
  export QT_QPA_PLATFORM=offscreen
  for b in build/bench/*; do
    [ -x "$b" ] && [ -f "$b" ] || continue
    echo "== $(basename "$b")"
    "$b"
  done
  exit 0
fi

build default
ctest --preset default "${quick[@]}"
build asan
ctest --preset asan
build tsan
ctest --preset tsan
echo "All tests passed."
