#!/usr/bin/env bash
# Demo.exe under Wine on a private X server, driven with the keyboard alone as a person
# would. First with the library at c:\zantic\tty.dll, which wins over an unusable tty.dll
# beside Demo.exe: Setting, OK, Connect, the close control. Then with tty.dll beside
# Demo.exe: the window's layout; Connect disabled before any Setting;
# Setting (Alt+O, S) with the dialog's layout and the ports that exist; OK; Connect (Alt+A,
# C); typing and pasting (Shift+Insert); the device's text shown by the display rule; the
# device going away; Exit. Run by check.sh inside the private /dev, under windows_device,
# which plays COM2: our standard output carries its requests (@send, @recv, @hangup), our
# standard input its answers. Demo's windows are read with demo_peek.exe.
#   demo_test.sh BIN_DIR WORK_DIR WM_CLOSE [APP_DIR]
# WM_CLOSE sends a window the close control's request (there is no window manager). Demo.exe
# and tty.dll come from APP_DIR (the unpacked zip), demo_peek.exe from BIN_DIR.
set -euo pipefail
bin=$1 work=$2 wm_close=$3 app=${4:-$1}
wine=/usr/lib/wine/wine64

for tool in Xvfb xdotool xclip; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
[ -x "$wm_close" ] || { echo "skipped: wm_close was not built (no X11 headers)"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
xvfb_pid= demo_pid= clip_pid=
cleanup() {
  for pid in $clip_pid $demo_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
shot() { ! command -v import >/dev/null || import -window root "$work/$1.png" 2>/dev/null || true; }
fail() {
  echo "FAIL: $*"
  shot failure
  echo "--- Demo.exe's output:"; cat "$work/demo.log" || true
  exit 1
}
step() { echo "demo: $*"; }

exec 4>&1 # the device helper's ear, also from inside $(...)
device() { # REQUEST... -> the device's answer
  echo "@$*" >&4
  local reply
  read -r reply || fail "the device helper went away"
  printf '%s\n' "$reply"
}
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }
peek() { (cd "$bin" && "$wine" ./demo_peek.exe "$@" 2>>"$work/peek.log") | tr -d '\r'; }
# Waits up to 15 s for `peek ARG` to print WANT.
await() {
  local arg=$1 want=$2 got=
  for _ in $(seq 60); do
    got=$(peek "$arg") || true
    [ "$got" = "$want" ] && return 0
    sleep 0.25
  done
  fail "peek $arg: '$got', want '$want'"
}
window() { timeout 30 xdotool search --sync --onlyvisible --name "$1" | head -n 1; }
keys() { # keys go to Demo's window, which Wine hands on to the control with the focus
  xdotool windowfocus --sync "$1" 2>/dev/null || true
  shift
  xdotool key --delay 80 "$@"
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(tr -d '\n' <"$work/display")"
step "X server on $DISPLAY"

check_dialog() { # its layout in pixels, and the ports that exist marked
  await ports "2"
  shot dialog
  # Every control at its pixel place. Wine difference, accepted at its measured value: a closed
  # drop-down list that Wine draws itself is 21 pixels high for the 14-pixel selection field
  # that makes 20 (the port list, which Demo draws, is 20). Not measured on Windows.
  layout=$(peek layout | tr '\n' ' ')
  want="client 403 299 201 216 224 81 25 202 304 224 81 25 203 96 24 95 20 204 48 80 129 21 \
205 96 168 92 21 206 96 200 92 21 207 96 232 92 21 210 248 72 57 17 211 248 96 73 17 \
212 248 120 49 17 213 248 144 77 17 220 32 24 57 17 221 40 168 49 17 222 56 200 41 25 \
223 40 232 49 17 230 24 56 177 65 231 24 144 177 129 232 232 56 121 113 "
  [ "$layout" = "$want" ] || fail "the dialog's layout: $layout"
  step "Setting: dialog $dialog, its layout, COM2 marked"
}
start_demo() { # DIR: Demo.exe is started from there
  (cd "$1" && exec "$wine" ./Demo.exe) >>"$work/demo.log" 2>&1 &
  demo_pid=$!
  win=$(window '^Demo$') || fail "Demo's window did not appear"
}
wait_end() { # Demo.exe ends with status 0
  for _ in $(seq 60); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.25; done
  kill -0 "$demo_pid" 2>/dev/null && fail "Exit did not end Demo.exe"
  local status=0
  wait "$demo_pid" || status=$?
  demo_pid=
  [ "$status" -eq 0 ] || fail "Demo.exe ended with status $status"
}
# Setting (Alt+O, S), then the command CHECK... while the dialog is open, then OK (Tab past
# the five lists, Space).
settings_ok() { # [CHECK...]
  keys "$win" alt+o s
  dialog=$(window '^Setting Box$') || fail "the settings dialog did not appear"
  [ $# -eq 0 ] || "$@"
  keys "$dialog" Tab Tab Tab Tab Tab space
  for _ in $(seq 60); do xdotool search --onlyvisible --name '^Setting Box$' >/dev/null || break; sleep 0.25; done
  peek ports >/dev/null && fail "OK did not close the dialog"
  return 0
}

# The library at its fixed place, c:\zantic\tty.dll, which wins over the tty.dll beside
# Demo.exe: that one is no library at all, and Connect works.
fixed=$WINEPREFIX/drive_c/zantic
mkdir -p "$fixed" "$work/alone"
cp "$app/tty.dll" "$fixed/"
cp "$app/Demo.exe" "$work/alone/"
echo "not a library" >"$work/alone/tty.dll"
start_demo "$work/alone"
# Wine difference, accepted: it names the pty it maps as COM2 neither in SERIALCOMM nor to
# QueryDosDevice, so no port is marked.
settings_ok await ports ""
keys "$win" alt+a c
await state "text1=1 focus=1"
"$wm_close" "$win" || fail "wm_close"
wait_end
rm -rf "$fixed"
step "c:\\zantic\\tty.dll bound (not the one beside Demo.exe) and connected; the close control ends the program"

# From here on, tty.dll beside Demo.exe.
start_demo "$app"
step "window $win"
await state "text1=0 focus=0"
[ "$(peek window)" = "client 438 280 text1 16 8 409 257" ] || fail "the window: $(peek window)"
keys "$win" alt+a c # Connect is disabled before the first Setting: nothing happens
sleep 1
peek message >/dev/null && fail "Connect ran before any Setting"
await state "text1=0 focus=0"

# A port the registry names is marked in the dialog (Wine itself names none: see README).
"$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v test0 /t REG_SZ /d COM2 /f \
  >>"$work/peek.log" 2>&1 || fail "reg add"
settings_ok check_dialog
keys "$win" alt+a c
await state "text1=1 focus=1"
step "connected, the keyboard in Text1"

xdotool type --delay 80 'hi'
xdotool key Return BackSpace ctrl+c
got=$(device recv 2 5)
[ "$got" = "$(hex $'hi\r\b\x03')" ] || fail "the device received $got"
sleep 0.5
await text ""
step "typed keys reach COM2, nothing echoed"

# The X clipboard is Windows' clipboard under Wine: its lines go out as typed, one CR each.
printf 'p1\nq\r\n' >"$work/clip"
timeout 60 xclip -quiet -selection clipboard "$work/clip" 2>/dev/null &
clip_pid=$!
sleep 0.5
keys "$win" shift+Insert
got=$(device recv 2 5)
[ "$got" = "$(hex $'p1\rq\r')" ] || fail "a paste sent $got"
await text ""
step "pasted text reaches COM2 as typed, nothing echoed"

device send 2 "$(hex $'one\r\ntwo\nab\bc\r\n\n')" >/dev/null
await text "$(hex $'one\r\ntwoac\r\n')"
device send 2 "$(hex $'\bZ\r')" >/dev/null
await text "$(hex $'one\r\ntwoacZ\r\n')"
step "received text shown by the display rule"

device hangup 2 >/dev/null
await message "COM2: the device went away (unplugged, switched off, or its other end ended). Connect again once it is back."
box=$(window '^Demo$' | grep -v "^$win\$" | head -n 1) || true
keys "${box:-$win}" Return
for _ in $(seq 40); do peek message >/dev/null || break; sleep 0.25; done
peek message >/dev/null && fail "the message box is still open"
sleep 1
peek message >/dev/null && fail "a second message"
await state "text1=1 focus=1"
step "device gone: one message naming COM2"

keys "$win" alt+o e
wait_end
step "Exit ends the program"
