#!/usr/bin/env bash
# Installs what is missing, builds if needed, and starts the terminal program Demo.
#   ./run.sh             Demo with a virtual device that echoes, as COM2 (vcom echo COM2)
#   ./run.sh --hardware  Demo on the machine's real serial ports
set -euo pipefail
cd "$(dirname "$0")"

hardware=0
case "${1:-}" in
  "") ;;
  --hardware) hardware=1 ;;
  -h|--help)
    sed -n '2,4s/^# \{0,1\}//p' "$0"
    exit 0 ;;
  *)
    echo "usage: ./run.sh [--hardware]" >&2
    exit 2 ;;
esac

source tools/scripts/deps.sh
ensure_packages
# Only the library, Demo and vcom, in build-run/ (the tests' build/ needs the test frameworks).
# Once configured, the build itself notices changed CMake files and configures again.
[ -f build-run/build.ninja ] || cmake --preset run >/dev/null
cmake --build --preset run

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty), so Demo cannot start; the build is ready in build-run/." >&2
  exit 1
fi

if [ "$hardware" = 1 ]; then
  unset TTY_COM_DIR
  if [ "$(id -u)" -ne 0 ] && ! id -nG | tr ' ' '\n' | grep -qx dialout; then
    echo "Note: you are not in the dialout group, so the serial ports may not open: sudo usermod -aG dialout $USER, then log in again."
  fi
  exec build-run/bin/Demo
fi

map=$(mktemp -d "${TMPDIR:-/tmp}/tty-run.XXXXXX")
vcom_pid= demo_pid=
cleanup() {
  local pid
  for pid in $demo_pid $vcom_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$map"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

export TTY_COM_DIR=$map
build-run/bin/vcom echo COM2 2>"$map/vcom.log" &
vcom_pid=$!
for _ in $(seq 100); do
  [ -L "$map/COM2" ] && break
  kill -0 "$vcom_pid" 2>/dev/null || break
  sleep 0.05
done
if [ ! -L "$map/COM2" ]; then
  cat "$map/vcom.log" >&2
  echo "run.sh: vcom could not set up COM2" >&2
  exit 1
fi

echo "COM2 is a virtual device that sends back what it receives."
echo "In Demo: Open > Setting, OK (COM2 is the default), Action > Connect, then type."
# In the background, so that a signal to this script ends Demo and vcom at once.
build-run/bin/Demo &
demo_pid=$!
wait "$demo_pid"
