#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang with libFuzzer, ASan and
# UBSan) and runs each for SECONDS on its seed corpus, two at a time:
#   scripts/fuzz.sh SECONDS [TARGET...]      (every target when none named)
# The seeds are made by fuzz/make_seeds.sh into build/fuzz/seeds; what a run
# learns is kept in build/fuzz/corpus/<target> for the next run; inputs
# that made a target fail land in build/fuzz/artifacts/<target>. The inputs
# of fuzz/regressions/<target> run first. Exits 1 when any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(boot partition_table fat_image exfat_image ntfs_image ntfs_record compound_document content_rules sector_scan
           filesig pattern_text language_file settings_record)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target tessa-loft-cli $(printf 'tl_fuzz_%s ' "${targets[@]}")
root=build/fuzz
if [ ! -f "$root/seeds/.made" ] || [ fuzz/make_seeds.sh -nt "$root/seeds/.made" ]; then
  bash fuzz/make_seeds.sh "$root/bin/tessa-loft-cli" "$root/seeds"
  touch "$root/seeds/.made"
fi

# The runs use copies, so that a rebuild meanwhile cannot change a running target.
mkdir -p "$root/run"
for t in "${targets[@]}"; do cp "$root/bin/tl_fuzz_$t" "$root/run/"; done

run_one() {
  local t=$1 seconds=$2 root=$3
  local extra=()
  case $t in
    boot) extra=(-max_len=65536) ;;
    ntfs_record) extra=(-max_len=131072) ;;
    partition_table) extra=(-max_len=4096) ;;
    settings_record) extra=(-max_len=24576) ;;
    fat_image|exfat_image|ntfs_image) extra=(-max_len=2200000) ;;
    sector_scan) extra=(-max_len=131072) ;;
    content_rules) extra=(-max_len=262144) ;;
  esac
  mkdir -p "$root/corpus/$t" "$root/artifacts/$t"
  local dirs=("$root/corpus/$t" "$root/seeds/$t")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  if "$root/run/tl_fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$root/artifacts/$t/" "${extra[@]}" "${dirs[@]}" >"$root/$t.log" 2>&1; then
    echo "fuzz $t: $(grep -E '^stat::number_of_executed_units' "$root/$t.log" | awk '{print $2}') runs in ${seconds} s, no finding"
  else
    echo "fuzz $t: FAILED, see $root/$t.log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$root/$t.log" | head -5
    return 1
  fi
}
export -f run_one
printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$root"
