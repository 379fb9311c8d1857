#!/usr/bin/env bash
# Demo under a real X server, driven with the keyboard as a person would, never a click:
# Setting, OK, Connect through the menus' access keys, then typing. The other end of a vcom
# pair must receive exactly the typed bytes, and a line sent back must show in the window.
# Then: Shift+Insert with an empty and with a full clipboard; the vcom going away while
# connected (one message, then Connect works once it is back); the window's close control
# while connected, after which a second Demo connects; F10 opens a menu while connected;
# SIGTERM while the settings dialog is open ends Demo as Exit does. The pictures docs/ shows
# are taken here too (docs-*.png).
#   x11_smoke_test.sh DEMO VCOM WORK_DIR WM_CLOSE
# WORK_DIR keeps the screenshots and logs. WM_CLOSE sends a window the close control's
# request (there is no window manager). Exit 77 (skipped) when the X tools are missing.
set -euo pipefail
demo=$1 vcom=$2 work=$3 wm_close=${4:-}

for tool in Xvfb xdotool xclip import compare; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$wm_close" ] || { echo "SKIP: wm_close was not built (no X11 headers)"; exit 77; }

rm -rf "$work"
mkdir -p "$work"
xvfb_pid= vcom_pid= demo_pid= map=
cleanup() {
  exec 5>&- 2>/dev/null || true
  for pid in $demo_pid $vcom_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -z "$map" ] || rm -rf "$map"
}
trap cleanup EXIT

shot() { import -window root "$work/$1.png" 2>/dev/null || true; }
fail() {
  echo "FAIL: $*" >&2
  shot failure
  echo "--- Demo's output:" >&2; cat "$work"/demo*.log >&2 || true
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

# Demo gets COM2 (the dialog's default), the test holds COM3 on fd 5. The map's path is
# short, for the tool tip in the pictures.
map=$(mktemp -d /tmp/com.XXXXXX)
export TTY_COM_DIR=$map
start_vcom() {
  "$vcom" pair COM2 COM3 2>>"$work/vcom.log" &
  vcom_pid=$!
  for _ in $(seq 100); do [ -L "$TTY_COM_DIR/COM3" ] && break; sleep 0.05; done
  [ -L "$TTY_COM_DIR/COM3" ] || { cat "$work/vcom.log" >&2; fail "vcom did not map COM2 and COM3"; }
  exec 5<>"$TTY_COM_DIR/COM3"  # raw already: vcom sets its ports up so
}
start_vcom

# In a sanitizer build, leaks of the system libraries under Qt's X11 platform are known.
# They are told apart by the frames of their allocation; the fast unwinder stops at the
# first frame inside Qt's libraries, so the full unwinder is asked for.
runs=0 win=
start_demo() {
  runs=$((runs + 1))
  LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}fast_unwind_on_malloc=0:suppressions=$(dirname "$0")/x11_lsan.supp \
    "$demo" >"$work/demo$runs.log" 2>&1 &
  demo_pid=$!
  win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Demo$' | head -n 1) || fail "Demo's window did not appear"
  step "Demo $runs: window $win"
}
visible() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
demo_windows() { xdotool search --onlyvisible --name '^Demo$' 2>/dev/null | wc -l; }
wait_demo_windows() {  # wait_demo_windows N: N windows titled Demo (a message box is one) within 5 s
  for _ in $(seq 50); do [ "$(demo_windows)" -eq "$1" ] && return 0; sleep 0.1; done
  return 1
}
wait_gone() {
  for _ in $(seq 50); do [ -z "$(visible "$1")" ] && return 0; sleep 0.1; done
  return 1
}
keys_to() {  # keys_to WINDOW KEY...
  local w=$1; shift
  xdotool windowfocus --sync "$w"
  xdotool key --delay 120 "$@"
}
received() {  # received COUNT SECONDS: the bytes that arrive at the other end, as numbers
  timeout "$2" dd bs=1 count="$1" <&5 2>/dev/null | od -An -tu1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' || true
}
expect_bytes() {  # expect_bytes "WHAT" NUMBERS...: exactly these, then nothing more
  local what=$1; shift
  local want="$*" got extra
  got=$(received $# 10)
  [ "$got" = "$want" ] || fail "$what: the other end received [$got], not [$want]"
  extra=$(received 1 1)
  [ -z "$extra" ] || fail "$what: the other end received more: byte $extra"
}
wait_end() {  # wait_end WHAT: Demo ends within 10 s, with status 0
  for _ in $(seq 100); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$demo_pid" 2>/dev/null; then fail "$1 did not end Demo"; fi
  local status=0
  wait "$demo_pid" || status=$?
  demo_pid=
  [ "$status" -eq 0 ] || fail "$1: Demo ended with status $status"
}

# Open > Setting (Alt+O, S). A menu that opens before the window is ready to take keys
# misses them, so try again a few times.
open_setting() {
  dialog=
  for attempt in 1 2 3; do
    keys_to "$win" alt+o s
    dialog=$(timeout 5 xdotool search --sync --onlyvisible --name '^Setting Box$' | head -n 1) && break
    step "no dialog after attempt $attempt"
    xdotool key Escape Escape
  done
  [ -n "$dialog" ] || fail "Alt+O, S did not show the settings dialog"
}
# The first use by keyboard alone: Setting, OK (Tab x5 from the speed list, Space), Connect
# (Alt+A, C). A failed open would show a second window titled Demo.
first_use() {
  open_setting
  [ "$runs" -gt 1 ] || shot dialog
  keys_to "$dialog" Tab Tab Tab Tab Tab space
  wait_gone '^Setting Box$' || fail "Tab x5, Space did not close the dialog with OK"
  keys_to "$win" alt+a c
  sleep 1
  [ "$(demo_windows)" -eq 1 ] || fail "Connect showed a message"
}

start_demo
first_use
shot connected

# No click into the box: the keys go to the device straight after Connect.
xdotool type --delay 80 hello
xdotool key --delay 80 Return ctrl+c
expect_bytes "typing after Connect" 104 101 108 108 111 13 3
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

# Shift+Insert: an empty clipboard sends nothing (and does not crash Demo); a full one sends
# its text as typed keys, line breaks as carriage returns.
keys_to "$win" shift+Insert
sleep 0.5
kill -0 "$demo_pid" 2>/dev/null || fail "Shift+Insert with an empty clipboard ended Demo"
printf 'ab\ncd' | xclip -selection clipboard
keys_to "$win" shift+Insert
expect_bytes "Shift+Insert" 97 98 13 99 100
step "Shift+Insert: nothing from an empty clipboard, the text of a full one"

# The vcom goes away while connected: one message box, and Demo has let the port go.
kill "$vcom_pid"; wait "$vcom_pid" 2>/dev/null || true; vcom_pid=
exec 5>&-
wait_demo_windows 2 || fail "no message when the device went away"
shot device_gone
box=$(xdotool search --onlyvisible --name '^Demo$' | grep -vx "$win" | head -n 1)
sleep 1
[ "$(demo_windows)" -eq 2 ] || fail "more than one message when the device went away"
keys_to "$box" Return
wait_demo_windows 1 || fail "the message did not close"
start_vcom
keys_to "$win" alt+a c
sleep 1
[ "$(demo_windows)" -eq 1 ] || fail "Connect failed once the device was back"
xdotool type --delay 80 x
expect_bytes "typing after reconnecting" 120
step "device gone: one message; Connect works again once it is back"

# The close control while connected ends Demo; a second Demo then connects and types.
"$wm_close" "$win"
wait_end "the close control"
start_demo
first_use
xdotool type --delay 80 ok
expect_bytes "the second Demo" 111 107
step "close control: Demo ended; a second Demo connects"

# F10 reaches the menus while connected (F10, S shows the dialog; nothing goes to the port);
# SIGTERM while the settings dialog is open ends Demo as Exit does.
keys_to "$win" F10 s
timeout 5 xdotool search --sync --onlyvisible --name '^Setting Box$' >/dev/null || fail "F10, S did not show the dialog"
extra=$(received 1 1)
[ -z "$extra" ] || fail "F10, S sent byte $extra to the port"
kill -TERM "$demo_pid"
wait_end "SIGTERM"
step "F10 opens the menu; SIGTERM with the dialog open: Demo ended"

# A third Demo takes the pictures for README: the terminal with a few lines, and the port
# list with the tool tip of the entry in use. Then Open > Exit (Alt+O, E) ends it.
start_demo
first_use
printf 'Hello from COM3\r\nWhat you type goes to the device,\r\nwhat it sends shows here.\r\n> ' >&5
sleep 0.6
import -window "$win" "$work/docs-terminal.png"
open_setting
keys_to "$dialog" Tab alt+Down  # the port list, open
sleep 0.5
xdotool mousemove --window "$dialog" 100 58 sleep 0.2 mousemove --window "$dialog" 104 59  # Com2
sleep 1.5
eval "$(xdotool getwindowgeometry --shell "$dialog")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" "$work/docs-settings.png" 2>/dev/null || true
xdotool key Escape  # closes the list; then from the port list five Tabs lead to Cancel
keys_to "$dialog" Tab Tab Tab Tab Tab space
wait_gone '^Setting Box$' || fail "Cancel did not close the dialog"
keys_to "$win" alt+o e
wait_end "Alt+O, E"
step "passed"
