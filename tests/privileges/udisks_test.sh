#!/usr/bin/env bash
# A user without rights to disks reads one through udisks2, as on a desktop:
# a memory card image becomes a read-only loop disk that udisks2 lists, and
# the unprivileged user `nobody` analyses it and recovers its deleted
# documents byte-exact through the descriptor udisks2 hands out. The same
# descriptor refuses a write. Without the polkit rule that stands in for the
# administrator's password, the answer is "not authorised" and a failure exit,
# never a crash. Where no system bus answers at all, the command is refused
# before it starts, saying how to run it with rights.
#
#   udisks_test.sh CLI PROBE SOURCE_DIR WORK_DIR
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 CLI PROBE SOURCE_DIR WORK_DIR" >&2; exit 2; }
cli=$1 probe=$2 source=$3 work=$4
[ "$(id -u)" -eq 0 ] || { echo "FAIL: the system services of this test need root" >&2; exit 1; }
user=nobody

fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "${TL_UDISKS_PHASE:-}" = "" ]; then
  # The card and a copy of the programs every user may run.
  fixtures=${TL_FIXTURE_DIR:-$work/fixtures}
  documents=$fixtures/deleted_documents
  TL_FIXTURE_DIR=$fixtures bash "$source/tests/fixtures/fixture.sh" make_deleted_documents.sh "$documents" ||
    fail "the card could not be made: $(tail -5 "$documents.log")"
  rm -rf "$work/programs"
  mkdir -p "$work/programs"
  cp "$cli" "$probe" "$work/programs/"
  cp -r "$(dirname "$cli")/Languages" "$(dirname "$cli")/data" "$work/programs/"
  chmod -R a+rX "$work/programs"
  chmod a+x "$work"
  export TL_UDISKS_PHASE=allowed TL_UDISKS_CARD=$documents
  "$source/scripts/system-services.sh" --allow "$user" bash "$0" "$@"
  export TL_UDISKS_PHASE=refused
  "$source/scripts/system-services.sh" bash "$0" "$@"
  export TL_UDISKS_PHASE=no-bus DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/system_bus_socket
  bash "$0" "$@"
  echo "PASS"
  exit 0
fi

# The card as a read-only disk: udisks2's own inside the system services,
# a plain loop device where no bus answers.
card=$TL_UDISKS_CARD/card.img
if [ "$TL_UDISKS_PHASE" = no-bus ]; then
  disk=$(losetup --find --show --read-only "$card")
  trap 'losetup -d "$disk" 2>/dev/null || true' EXIT
else
  mapped=$(udisksctl loop-setup -r -f "$card" --no-user-interaction)
  disk=$(sed -n 's/^Mapped file .* as \(\/dev\/loop[0-9]*\)\.$/\1/p' <<<"$mapped")
  [ -n "$disk" ] || fail "udisksctl made no loop disk: $mapped"
  trap 'udisksctl loop-delete -b "$disk" --no-user-interaction >/dev/null 2>&1 || true' EXIT
  udevadm settle -t 10 || true
fi

programs=$work/programs
home=$(mktemp -d "/tmp/tl-udisks-$TL_UDISKS_PHASE.XXXXXX")
chmod 777 "$home"
as_user() { runuser -u "$user" -- env HOME="$home" ${DBUS_SYSTEM_BUS_ADDRESS:+DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS} "$@"; }
as_user test -r "$disk" && fail "$user can open $disk directly: the test proves nothing"

if [ "$TL_UDISKS_PHASE" = allowed ]; then
  out=$(as_user "$programs/tessa-loft-cli" --quiet --config-dir "$home/config" analyze "$disk" 2>"$home/err") ||
    fail "$user could not analyse $disk through udisks2: $(cat "$home/err")"
  # A deleted short name has lost its first letter.
  for name in Reports/ Photos/ etter.pdf sheet.xlsx notes.txt holiday.gif; do
    grep -q "$name" <<<"$out" || fail "the analysis of $disk does not list $name:
$out"
  done
  as_user "$programs/tessa-loft-cli" --quiet --yes --config-dir "$home/config" recover "$disk" \
    --deleted-only --flat --to "$home/recovered" >/dev/null 2>"$home/err" ||
    fail "$user could not recover from $disk: $(cat "$home/err")"
  copies=$(find "$home/recovered" -type f -exec sha256sum {} + | cut -d' ' -f1)
  for original in "$TL_UDISKS_CARD"/deleted/*; do
    grep -qx "$(sha256sum <"$original" | cut -d' ' -f1)" <<<"$copies" ||
      fail "$(basename "$original") did not come back byte-exact from $disk"
  done
  as_user "$programs/read_only_probe" "$disk" || fail "the descriptor of $disk let a write through, or did not open"
else
  set +e
  as_user "$programs/tessa-loft-cli" --quiet --config-dir "$home/config" analyze "$disk" >/dev/null 2>"$home/err"
  code=$?
  set -e
  [ "$code" -ne 0 ] || fail "$user analysed $disk without being authorised"
  [ "$code" -lt 128 ] || fail "the refused analysis ended with signal $((code - 128))"
  if [ "$TL_UDISKS_PHASE" = refused ]; then
    told="not authorised to read $disk"
  else
    told="install and start udisks2"
  fi
  grep -q "$told" "$home/err" || fail "the refusal does not say '$told': $(cat "$home/err")"
fi
rm -rf "$home"
