#!/usr/bin/env bash
# Runs a command in a private mount namespace whose /dev holds only null, zero, full, random,
# urandom, tty, a new ptmx and the host's pts/ and shm/. Wine runs only in here: its mount
# manager probes /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* at start-up, and on a real
# machine /dev/ttyS0 may be the system console, which nothing of ours may open.
#   private_dev.sh COMMAND [ARGS...]     (as root; exits 77 when that is impossible)
# When the command is done, any wineserver started in here is stopped, in here.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: a private /dev needs root (unshare -m)" >&2
    exit 77
  fi
  exec unshare --mount --propagation private -- "$0" --inside "$@"
fi
shift

mount --make-rprivate /
dev=$(mktemp -d /tmp/private-dev.XXXXXX)
mount -t tmpfs -o mode=0755,nosuid,noexec private-dev "$dev"
for node in null zero full random urandom tty; do
  : >"$dev/$node"
  mount --bind "/dev/$node" "$dev/$node"
done
mknod -m 0666 "$dev/ptmx" c 5 2 # opens the pts instance mounted beside it
mkdir "$dev/pts" "$dev/shm"
mount --bind /dev/pts "$dev/pts"
mount --bind /dev/shm "$dev/shm"
mount --move "$dev" /dev
rmdir "$dev"

# Nothing may start unless /dev is exactly that.
found=$(cd /dev && echo *)
if [ "$found" != "full null ptmx pts random shm tty urandom zero" ]; then
  echo "private /dev is not as built: $found" >&2
  exit 1
fi

status=0
"$@" || status=$?
# The wineserver ends on its own a few seconds after the last program; one that hangs is killed.
if [ -n "${WINEPREFIX:-}" ] && [ -x /usr/lib/wine/wineserver64 ]; then
  timeout 30 /usr/lib/wine/wineserver64 -w 2>/dev/null ||
    /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
fi
exit "$status"
