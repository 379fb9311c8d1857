#!/usr/bin/env bash
# Demo under a real X server, driven with the keyboard as a person would: Setting, OK,
# Connect through the menus' access keys, then typing. The other end of a vcom pair must
# receive exactly the typed bytes, and a line sent back must show in the window.
#   x11_smoke_test.sh DEMO VCOM WORK_DIR
# WORK_DIR keeps the screenshots and logs. Exit 77 (skipped) when the X tools are missing.
set -euo pipefail
demo=$1 vcom=$2 work=$3

for tool in Xvfb xdotool import compare; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

rm -rf "$work"
mkdir -p "$work"
xvfb_pid= vcom_pid= demo_pid=
cleanup() {
  exec 5>&- 2>/dev/null || true
  for pid in $demo_pid $vcom_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

shot() { import -window root "$work/$1.png" 2>/dev/null || true; }
fail() {
  echo "FAIL: $*" >&2
  shot failure
  echo "--- Demo's output:" >&2; cat "$work/demo.log" >&2 || true
  echo "(screenshots in $work)" >&2
  exit 1
}
step() { echo "smoke: $*"; }

# An X server on a display that is free: Xvfb picks it and tells us through fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$(tr -d '\n' <"$work/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=$work/xdg
mkdir -m 700 "$XDG_RUNTIME_DIR"
step "X server on $DISPLAY"

# Demo gets COM2 (the dialog's default), the test holds COM3.
export TTY_COM_DIR=$work/map
mkdir -m 700 "$TTY_COM_DIR"
"$vcom" pair COM2 COM3 2>"$work/vcom.log" &
vcom_pid=$!
for _ in $(seq 100); do [ -L "$TTY_COM_DIR/COM3" ] && break; sleep 0.05; done
[ -L "$TTY_COM_DIR/COM3" ] || { cat "$work/vcom.log" >&2; fail "vcom did not map COM2 and COM3"; }
exec 5<>"$TTY_COM_DIR/COM3"  # raw already: vcom sets its ports up so

# In a sanitizer build, leaks of the system libraries under Qt's X11 platform are known.
# They are told apart by the frames of their allocation; the fast unwinder stops at the
# first frame inside Qt's libraries, so the full unwinder is asked for.
LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}fast_unwind_on_malloc=0:suppressions=$(dirname "$0")/x11_lsan.supp \
  "$demo" >"$work/demo.log" 2>&1 &
demo_pid=$!
win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Demo$' | head -n 1) || fail "Demo's window did not appear"
step "Demo's window is $win"

visible() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
wait_gone() {
  for _ in $(seq 50); do [ -z "$(visible "$1")" ] && return 0; sleep 0.1; done
  return 1
}
keys_to() {  # keys_to WINDOW KEY...
  local w=$1; shift
  xdotool windowfocus --sync "$w"
  xdotool key --delay 120 "$@"
}

# Open > Setting (Alt+O, S). A menu that opens before the window is ready to take keys
# misses them, so try again a few times.
dialog=
for attempt in 1 2 3; do
  keys_to "$win" alt+o s
  dialog=$(timeout 5 xdotool search --sync --onlyvisible --name '^Setting Box$' | head -n 1) && break
  step "no dialog after attempt $attempt"
  xdotool key Escape Escape
done
[ -n "$dialog" ] || fail "Alt+O, S did not show the settings dialog"
shot dialog
step "settings dialog is $dialog"

# The focus starts on the speed list; five Tabs lead past the port, data bits, parity and
# stop-bits lists to OK, which Space presses.
keys_to "$dialog" Tab Tab Tab Tab Tab space
wait_gone '^Setting Box$' || fail "Tab x5, Space did not close the dialog with OK"

# Action > Connect (Alt+A, C). A failed open would show a second window titled Demo.
keys_to "$win" alt+a c
sleep 1
[ "$(xdotool search --onlyvisible --name '^Demo$' | wc -l)" -eq 1 ] || fail "Connect showed a message"
shot connected

# Into the text box, then type.
xdotool mousemove --window "$win" 200 140 click 1
sleep 0.3
xdotool type --delay 80 hello
xdotool key --delay 80 Return ctrl+c

got=$(timeout 10 dd bs=1 count=7 <&5 2>/dev/null | od -An -tu1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//') || true
[ "$got" = "104 101 108 108 111 13 3" ] || fail "the other end received [$got], not hello, 13, 3"
extra=$(timeout 1 dd bs=1 count=1 <&5 2>/dev/null | od -An -tu1 | tr -d ' \n') || true
[ -z "$extra" ] || fail "the other end received more: byte $extra"
step "the other end received exactly hello, 13, 3"

# A line sent back shows in the text box. The caret blinks, so compare against the change
# between two pictures taken before.
eval "$(xdotool getwindowgeometry --shell "$win")"
region=${WIDTH}x${HEIGHT}+${X}+${Y}
changed() {  # pixels that differ between two screenshots, within Demo's window
  compare -metric AE -extract "$region" "$work/$1.png" "$work/$2.png" null: 2>&1 | sed 's/[^0-9].*//' || true
}
shot before_1
sleep 0.7
shot before_2
printf 'Hello from COM3\r\n' >&5
sleep 1.5
shot after
noise=$(changed before_1 before_2)
change=$(changed before_2 after)
step "pixels changed: $change (blinking alone: $noise)"
[ "${change:-0}" -gt $(( ${noise:-0} + 200 )) ] || fail "the text box did not change when a line arrived"

# Open > Exit (Alt+O, E) ends the program.
keys_to "$win" alt+o e
for _ in $(seq 100); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$demo_pid" 2>/dev/null; then fail "Alt+O, E did not end Demo"; fi
status=0
wait "$demo_pid" || status=$?
demo_pid=
[ "$status" -eq 0 ] || fail "Demo ended with status $status"
step "passed"
