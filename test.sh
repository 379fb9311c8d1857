#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the default build, then the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the tty library's
# tests under ThreadSanitizer.
#   ./test.sh          all tests, all three builds
#   ./test.sh --bench  the benchmarks instead (they print their figures)
set -euo pipefail
cd "$(dirname "$0")"
source tools/scripts/deps.sh
ensure_packages "${TTY_TEST_PACKAGES[@]}"

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
ctest --preset default
build asan
ctest --preset asan
build tsan
ctest --preset tsan
echo "All tests passed."
