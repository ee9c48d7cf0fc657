#!/usr/bin/env bash
# Runs a command in a desktop session of its own, as a person's desktop runs
# the program: an X server (Xvfb), a D-Bus session bus and the accessibility
# bus, so that the program's windows are real windows whose controls a
# screen reader (and the end-to-end tests, through AT-SPI) finds by name.
#
#   scripts/gui-session.sh [--size WxH] COMMAND [ARGS...]
#
# Inside COMMAND, DISPLAY is set: `import -window root shot.png` takes a
# screenshot, and /usr/bin/python3 with dogtail or pyatspi reaches the
# program's controls. scripts/setup.sh installs what it needs.
set -euo pipefail
size=1280x800
if [ "${1:-}" = --size ]; then
  size=$2
  shift 2
fi
if [ "$#" -eq 0 ]; then
  echo "usage: $0 [--size WxH] COMMAND [ARGS...]" >&2
  exit 2
fi
for tool in xvfb-run dbus-run-session; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
session=$(mktemp)
trap 'rm -f "$session"' EXIT
cat >"$session" <<'SESSION'
set -u
# Qt speaks to the accessibility bus only when asked, or when a screen reader runs.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 NO_AT_BRIDGE=0
# dogtail looks for this to believe that assistive technologies are on.
export GTK_MODULES=gail:atk-bridge
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
bus=
if [ -x /usr/libexec/at-spi-bus-launcher ]; then
  /usr/libexec/at-spi-bus-launcher --launch-immediately &
  bus=$!
  sleep 0.5
fi
"$@"
status=$?
[ -n "$bus" ] && kill "$bus" 2>/dev/null
exit $status
SESSION
exec xvfb-run -a -s "-screen 0 ${size}x24" dbus-run-session -- bash "$session" "$@"
