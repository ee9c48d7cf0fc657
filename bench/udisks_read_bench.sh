#!/usr/bin/env bash
# What reading a disk through udisks2 costs: the sector scan of a read-only
# loop disk (pseudo-random data with planted pictures) by an unprivileged
# user through the descriptor udisks2 hands out, against the same scan by
# root opening the disk directly, in the same run, timed the same way
# (median of RUNS runs, warm page cache); then `info` of the disk, which
# shows what the start and the opening cost, and the scan's ratio without it. Needs root; starts the system
# services itself (scripts/system-services.sh).
#
#   bench/udisks_read_bench.sh [MIB] [RUNS]      (after the release build)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024} runs=${2:-5}
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root" >&2; exit 2; }
cli=$PWD/build/release/bin/tessa-loft-cli
[ -x "$cli" ] || { echo "$0: build the release programs first (scripts/test.sh or scripts/run.sh)" >&2; exit 2; }

if [ "${TL_BENCH_INSIDE:-}" != 1 ]; then
  work=$(mktemp -d /tmp/tl-udisks-bench.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  # Random filler with a few pictures planted, so that the scan has finds to report.
  head -c "$((mib << 20))" /dev/urandom >"$work/disk.img"
  for i in $(seq 8); do
    convert -seed "$i" -size 640x480 "plasma:fractal" "$work/p$i.jpg"
    dd if="$work/p$i.jpg" of="$work/disk.img" bs=1M seek=$((i * mib / 10)) conv=notrunc status=none
  done
  mkdir -p "$work/programs"
  cp -r "$cli" "$(dirname "$cli")/Languages" "$(dirname "$cli")/data" "$work/programs/"
  chmod -R a+rX "$work/programs"
  TL_BENCH_INSIDE=1 TL_BENCH_WORK=$work scripts/system-services.sh --allow nobody "$0" "$mib" "$runs"
  exit 0
fi

work=$TL_BENCH_WORK
mapped=$(udisksctl loop-setup -r -f "$work/disk.img" --no-user-interaction)
disk=$(sed -n 's/^Mapped file .* as \(\/dev\/loop[0-9]*\)\.$/\1/p' <<<"$mapped")
[ -n "$disk" ] || { echo "udisksctl made no loop disk: $mapped" >&2; exit 1; }
trap 'udisksctl loop-delete -b "$disk" --no-user-interaction >/dev/null 2>&1 || true' EXIT
home=$(mktemp -d /tmp/tl-udisks-bench-home.XXXXXX)
chmod 777 "$home"
cat "$disk" >/dev/null  # warm the page cache

scan() {  # scan NAME RUNNER...: seconds of one sector scan of $disk, the finds checked
  local start end found config=$home/config-$1
  shift
  start=$(date +%s.%N)
  found=$("$@" "$work/programs/tessa-loft-cli" --quiet --config-dir "$config" analyze --sectors-only \
    --format tsv "$disk" | grep -c 'jpg' || true)
  end=$(date +%s.%N)
  [ "$found" -ge 8 ] || { echo "the scan found $found pictures of 8" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f\n", b - a}' 
}
opening() {  # opening NAME RUNNER...: seconds of `info` of $disk: the start, the drive list and the open
  local start end config=$home/config-$1
  shift
  start=$(date +%s.%N)
  "$@" "$work/programs/tessa-loft-cli" --quiet --config-dir "$config" info "$disk" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f\n", b - a}'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

# One run of each first, not counted: it makes each user's settings store.
scan direct env >/dev/null
scan through runuser -u nobody -- env HOME="$home" >/dev/null
direct=() through=() open_direct=() open_through=()
for _ in $(seq "$runs"); do
  direct+=("$(scan direct env)")
  through+=("$(scan through runuser -u nobody -- env HOME="$home")")
  open_direct+=("$(opening direct env)")
  open_through+=("$(opening through runuser -u nobody -- env HOME="$home")")
done
d=$(printf '%s\n' "${direct[@]}" | median)
t=$(printf '%s\n' "${through[@]}" | median)
od=$(printf '%s\n' "${open_direct[@]}" | median)
ot=$(printf '%s\n' "${open_through[@]}" | median)
awk -v mib="$mib" -v runs="$runs" -v d="$d" -v t="$t" -v od="$od" -v ot="$ot" 'BEGIN {
  printf "sector scan of a %d MiB read-only loop disk, median of %d runs\n", mib, runs
  printf "  root, direct open:                   %6.2f s  %7.1f MB/s\n", d, mib * 1.048576 / d
  printf "  nobody, descriptor from udisks2:     %6.2f s  %7.1f MB/s\n", t, mib * 1.048576 / t
  printf "  throughput through udisks2 / direct: %6.3f\n", d / t
  printf "info of the disk (start, drive list, open, boot sector), median of %d runs\n", runs
  printf "  root, direct open:                   %6.3f s\n", od
  printf "  nobody, descriptor from udisks2:     %6.3f s  (%+.0f ms)\n", ot, (ot - od) * 1000
  printf "  scan without the opening, through udisks2 / direct: %6.3f\n", (d - od) / (t - ot)
}' 
