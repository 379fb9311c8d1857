#!/usr/bin/env bash
# Runs an example program on a `vcom echo` port, directly or through a ser2net that serves
# that port over RFC 2217 on 127.0.0.1 (mapped with `vcom remote`). The port number comes
# first among the example's arguments.
#   run_example.sh VCOM local|remote EXAMPLE [ARGS...]
# Exits 77 (skipped) for remote when ser2net is not installed.
set -euo pipefail
vcom=$1 how=$2 example=$3
shift 3
work=$(mktemp -d /tmp/tty-example-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export TTY_COM_DIR=$work/map
mkdir -p "$TTY_COM_DIR"

wait_for() { for _ in $(seq 100); do [ -L "$1" ] && return 0; sleep 0.01; done; echo "no $1" >&2; exit 1; }

"$vcom" echo COM9 2>"$work/vcom.log" &
pids+=($!)
wait_for "$TTY_COM_DIR/COM9"
port=9

if [ "$how" = remote ]; then
  ser2net=/usr/sbin/ser2net
  [ -x "$ser2net" ] || { echo "ser2net is not installed" >&2; exit 77; }
  pty=$(readlink "$TTY_COM_DIR/COM9")
  for _ in 1 2 3 4 5; do
    tcp=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$tcp") 2>/dev/null && continue # taken
    printf '%s\n' '%YAML 1.1' '---' 'connection: &com' \
      "  accepter: telnet(rfc2217),tcp,127.0.0.1,$tcp" "  connector: serialdev,$pty,9600n81,local" >"$work/ser2net.yaml"
    "$ser2net" -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$tcp") 2>/dev/null && break 2; sleep 0.01; done
  done
  sleep 0.05 # the probe above was a client: ser2net lets the device go again
  "$vcom" remote COM8 "rfc2217://127.0.0.1:$tcp" 2>"$work/vcom-remote.log" &
  pids+=($!)
  wait_for "$TTY_COM_DIR/COM8"
  port=8
fi

"$example" "$port" "$@"
