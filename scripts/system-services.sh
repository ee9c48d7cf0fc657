#!/usr/bin/env bash
# Runs a command among the system services through which a desktop lets a
# user read a disk without being root: a system D-Bus, udev, polkit and
# udisks2. Each is started only when it does not run already, and stopped
# afterwards by its process id.
#
#   scripts/system-services.sh [--allow USER] COMMAND [ARGS...]
#
# --allow USER writes a polkit rule that grants USER every udisks2 action
# without a password, standing in for the administrator who types it into the
# desktop's authentication agent; the rule is removed afterwards. Without it,
# and with no agent, udisks2 answers a user's ask with "not authorised".
# Inside COMMAND, `udisksctl loop-setup -r -f IMAGE` makes a read-only disk
# that udisks2 lists. Needs root; scripts/setup.sh installs the packages.
set -euo pipefail
allow=""
if [ "${1:-}" = --allow ]; then
  allow=$2
  shift 2
fi
if [ "$#" -eq 0 ]; then
  echo "usage: $0 [--allow USER] COMMAND [ARGS...]" >&2
  exit 2
fi
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root" >&2; exit 2; }
dbus_daemon=/usr/bin/dbus-daemon
udevd=/lib/systemd/systemd-udevd
polkitd=/usr/lib/polkit-1/polkitd
udisksd=/usr/libexec/udisks2/udisksd
for program in "$dbus_daemon" "$udevd" "$polkitd" "$udisksd"; do
  [ -x "$program" ] || { echo "$0: $program is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

started=()
rule=/etc/polkit-1/rules.d/48-tessa-loft-test-allow.rules
stop_all() {
  [ -z "$allow" ] || rm -f "$rule"
  local i
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill "${started[$i]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap stop_all EXIT

wait_for() {  # wait_for TENTHS COMMAND...: until COMMAND succeeds, at most TENTHS tenths of a second
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

if ! busctl --system list >/dev/null 2>&1; then
  mkdir -p /run/dbus
  rm -f /run/dbus/system_bus_socket
  "$dbus_daemon" --system --nofork --nopidfile &
  started+=($!)
  wait_for 100 busctl --system list || { echo "$0: the system bus did not start" >&2; exit 1; }
fi
if ! pgrep -x systemd-udevd >/dev/null; then
  "$udevd" &
  started+=($!)
  # udisks2 lists what udev has seen: the block devices there are now.
  udevadm trigger --subsystem-match=block --action=add >/dev/null 2>&1 || true
  udevadm settle -t 10 || true
fi
if [ -n "$allow" ]; then
  mkdir -p "$(dirname "$rule")"
  cat >"$rule" <<RULE
polkit.addRule(function(action, subject) {
  if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "$allow")
    return polkit.Result.YES;
});
RULE
fi
if ! busctl --system status org.freedesktop.PolicyKit1 >/dev/null 2>&1; then
  "$polkitd" --no-debug &
  started+=($!)
fi
if ! busctl --system status org.freedesktop.UDisks2 >/dev/null 2>&1; then
  "$udisksd" --no-debug 2>/dev/null &
  started+=($!)
fi
wait_for 100 busctl --system status org.freedesktop.UDisks2 || { echo "$0: udisks2 did not start" >&2; exit 1; }
"$@"
