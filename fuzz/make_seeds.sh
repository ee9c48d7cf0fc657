#!/usr/bin/env bash
# Makes the seed corpus of every fuzz target from real tools:
# make_seeds.sh CLI OUTDIR
#
# CLI is a built tessa-loft-cli (for the signature files it exports). Each
# target gets OUTDIR/<target>/ with small inputs: volume images made by
# mkfs.fat + mtools and mkntfs + ntfs-3g (their trailing zeros cut off: the
# fuzz targets read zeros past the end of their input), partition tables
# written by sfdisk, MFT records, the sample files of the tests, pattern
# texts of the first signature set, and the language files.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 CLI OUTDIR" >&2
  exit 2
fi
CLI=$(realpath "$1")
OUT=$2
SRC=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
PATH=$PATH:/usr/sbin:/sbin
export LC_ALL=C TZ=UTC MTOOLS_SKIP_CHECK=1

WORK=$(mktemp -d)
trap 'umount "$WORK/mnt" 2>/dev/null || true; rm -rf "$WORK"' EXIT

# A fixture of the tests, through tests/fixtures/fixture.sh: in the test
# run's shared fixture folder ($TL_FIXTURE_DIR), where the tests made it
# already, else in the work folder. Prints the folder; fails as its maker.
fixture() {
  local dir=${TL_FIXTURE_DIR:-$WORK}/$2
  bash "$SRC/tests/fixtures/fixture.sh" "$1" "$dir" >/dev/null 2>&1 && echo "$dir"
}
for t in boot partition_table fat_image exfat_image ntfs_image ntfs_record lznt1 compound_document content_rules sector_scan \
         filesig pattern_text language_file settings_record; do
  rm -rf "${OUT:?}/$t"
  mkdir -p "$OUT/$t"
done

# A copy of FILE without its trailing zero sectors.
trim() {
  python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
end = len(data.rstrip(b'\0'))
end = (end + 511) // 512 * 512
open(sys.argv[2], 'wb').write(data[:end])
PY
}

# Files to put on the volumes: text, a multi-cluster file, long and
# non-ASCII names, folders, and deleted entries.
mkdir -p "$WORK/files"
printf 'Hello, lost world.\n' > "$WORK/files/README.TXT"
head -c 5000 /dev/urandom > "$WORK/files/Multi Cluster.bin"
printf 'Bericht\n' > "$WORK/files/Bericht Übersicht.txt"
printf 'Old\n' > "$WORK/files/Old Notes.txt"

# --- FAT: FAT12 of 256 KiB, FAT16 of 2.2 MB, FAT32 of 34 MB
fat() {  # BITS KIB NAME
  local img="$WORK/$3"
  truncate -s "${2}K" "$img"
  mkfs.fat -F "$1" -s 1 -S 512 -n SEED "$img" >/dev/null
  mcopy -i "$img" "$WORK/files/README.TXT" "$WORK/files/Bericht Übersicht.txt" "$WORK/files/Old Notes.txt" ::/
  mmd -i "$img" ::/Docs ::/Docs/Deep
  mcopy -i "$img" "$WORK/files/Multi Cluster.bin" ::/Docs/Deep/
  mdel -i "$img" "::/Old Notes.txt"
  trim "$img" "$OUT/fat_image/$3"
  head -c 65536 "$img" > "$OUT/boot/$3"
}
fat 12 256 fat12.img
fat 16 2200 fat16.img
fat 32 34000 fat32.img

# Waits until $WORK/mnt is mounted, or the driver DRIVER_PID has given up.
wait_for_mount() {
  for _ in $(seq 100); do
    mountpoint -q "$WORK/mnt" && break
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
}

# Fills the volume mounted on $WORK/mnt: files, a folder two deep, a file
# grown in COUNT steps of BYTES between small files, then deletions.
fill_mount() {  # COUNT BYTES
  cp "$WORK/files/README.TXT" "$WORK/files/Bericht Übersicht.txt" "$WORK/files/Old Notes.txt" "$WORK/mnt/"
  mkdir -p "$WORK/mnt/Docs/Deep"
  cp "$WORK/files/Multi Cluster.bin" "$WORK/mnt/Docs/Deep/"
  for i in $(seq 1 "$1"); do
    head -c "$2" /dev/urandom >> "$WORK/mnt/Docs/Fragments.bin"
    printf 'y' > "$WORK/mnt/Docs/f$i"
  done
  rm -f "$WORK/mnt/Old Notes.txt" "$WORK/mnt"/Docs/f*
}

# --- exFAT of 4 MiB (the least mkfs.exfat makes) with 4 KiB clusters:
# empty, and filled through exfat-fuse (on a loop device) when a FUSE mount
# works here, with a fragmented file and deleted ones
exfat="$WORK/exfat.img"
truncate -s 4M "$exfat"
mkfs.exfat -c 4K -L SEED "$exfat" >/dev/null
trim "$exfat" "$OUT/exfat_image/empty.img"
head -c 65536 "$exfat" > "$OUT/boot/exfat.img"
if loop=$(losetup --find --show "$exfat" 2>/dev/null); then
  mkdir -p "$WORK/mnt"
  mount.exfat-fuse -d "$loop" "$WORK/mnt" >/dev/null 2>&1 &
  driver=$!
  wait_for_mount "$driver"
  if mountpoint -q "$WORK/mnt"; then
    fill_mount 6 4096
    sync
    umount "$WORK/mnt"
  fi
  wait "$driver" 2>/dev/null || true
  losetup -d "$loop"
  trim "$exfat" "$OUT/exfat_image/filled.img"
fi

# --- NTFS of 2 MiB with 512-byte clusters, filled through the driver when
# a FUSE mount works here
ntfs="$WORK/ntfs.img"
truncate -s 2M "$ntfs"
mkntfs -F -f -q -c 512 -L SEED "$ntfs" >/dev/null 2>&1
mkdir -p "$WORK/mnt"
# The driver stays in the foreground, so that waiting for it after the
# unmount waits until it has written everything.
ntfs-3g -o no_detach "$ntfs" "$WORK/mnt" >/dev/null 2>&1 &
driver=$!
wait_for_mount "$driver"
if mountpoint -q "$WORK/mnt"; then
  fill_mount 40 600
  umount "$WORK/mnt"
fi
wait "$driver" 2>/dev/null || true
trim "$ntfs" "$OUT/ntfs_image/ntfs.img"
head -c 65536 "$ntfs" > "$OUT/boot/ntfs.img"
# The first 32 records of its MFT: the boot sector gives the MFT's cluster.
mft_records() {  # IMAGE OUTPUT COUNT
python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
bps, spc = struct.unpack_from('<HB', d, 11)
mft = struct.unpack_from('<Q', d, 0x30)[0] * bps * spc
open(sys.argv[2], 'wb').write(d[mft:mft + int(sys.argv[3]) * 1024])
PY
}
mft_records "$ntfs" "$OUT/ntfs_record/mft.bin" 32
# The test fixture's records 0-127: attribute lists, extension records,
# named streams, deleted folders.
if ntfs_fixture=$(fixture make_ntfs_images.sh ntfs); then
  mft_records "$ntfs_fixture/ntfs512.img" "$OUT/ntfs_record/fixture_mft.bin" 128
fi
# Compressed files (every kind of unit), named streams, an encrypted file:
# the whole volume, its records, and the compressed units of its files as
# the lznt1 target takes them (a first byte for 16 slots, then the data).
if ntfs_content=$(fixture make_ntfs_content.sh ntfs_content); then
  # Without the boot sector's copy in the last sector, the zeros before it
  # are cut off too.
  for name in ntfs_content ntfs_encrypted; do
    head -c -512 "$ntfs_content/$name.img" > "$WORK/$name.cut"
    trim "$WORK/$name.cut" "$OUT/ntfs_image/$name.img"
  done
  mft_records "$ntfs_content/ntfs_content.img" "$OUT/ntfs_record/content_mft.bin" 96
  for inode in 66 69; do  # Packed/Lines.txt, Packed/Gone.txt
    istat "$ntfs_content/ntfs_content.img" "$inode" | python3 -c '
import sys
clusters = [int(c) for line in sys.stdin for c in line.split() if line[:1].isdigit()]
image, out = sys.argv[1], sys.argv[2]
d = open(image, "rb").read()
# The first unit: its real clusters, up to the first hole.
run = []
for c in clusters[:16]:
    if c == 0:
        break
    run.append(d[c * 4096:(c + 1) * 4096])
open(out, "wb").write(b"" + b"".join(run))
' "$ntfs_content/ntfs_content.img" "$OUT/lznt1/unit_$inode.bin" || true
  done
fi

# --- partition tables: primary partitions, and an extended chain
disk="$WORK/disk.img"
truncate -s 64M "$disk"
printf 'label: dos\n,8M,6\n,8M,7\n,,5\n' | sfdisk -q "$disk" >/dev/null
printf ',4M,6\n,4M,b\n,4M,7\n' | sfdisk -q -a "$disk" >/dev/null 2>&1 || true
head -c 512 "$disk" > "$OUT/partition_table/mbr.bin"
head -c 512 "$disk" > "$OUT/boot/mbr.bin"
python3 - "$disk" "$OUT/partition_table" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
out = sys.argv[2]
ext = None
for i in range(4):
    e = d[446 + 16 * i: 462 + 16 * i]
    if e[4] in (5, 15):
        ext = struct.unpack_from('<I', e, 8)[0]
n, s = 0, ext
while s is not None and n < 8:
    sector = d[s * 512:(s + 1) * 512]
    open(f'{out}/ebr{n}.bin', 'wb').write(sector)
    nxt = struct.unpack_from('<I', sector, 446 + 16 + 8)[0]
    s = ext + nxt if nxt else None
    n += 1
PY

# --- GUID partition tables by sgdisk, cut to 4 entries so that the MBR, the
# header and its entries fit an input (1536 bytes, which the fuzz disk
# repeats: the header lands in block 1, the entries in block 2); the same
# with a hybrid MBR; and the table again in blocks of 4096 bytes, laid out
# so that the repeated input puts its header 4096 bytes in (at 1024 of 3072)
# and its entries at 8192 (at 2048)
gpt="$WORK/gpt.img"
truncate -s 1M "$gpt"
sgdisk --clear --resize-table=4 --new=1:34:233 --typecode=1:0700 --change-name=1:Docs \
  --new=2:234:433 --typecode=2:8200 --change-name=2:Swap "$gpt" >/dev/null
head -c 1536 "$gpt" > "$OUT/partition_table/gpt.bin"
sgdisk --hybrid=1 "$gpt" >/dev/null
head -c 1536 "$gpt" > "$OUT/partition_table/gpt_hybrid.bin"
python3 - "$OUT/partition_table/gpt.bin" "$OUT/partition_table/gpt4k.bin" <<'PY'
import struct, sys, zlib
d = open(sys.argv[1], 'rb').read()
out = bytearray(3072)
out[0:512] = d[0:512]
entries = bytearray(d[1024:1536])
for i in range(4):
    first, last = struct.unpack_from('<QQ', entries, i * 128 + 32)
    if first or last:
        struct.pack_into("<QQ", entries, i * 128 + 32, (first + 7) // 8, last // 8)
out[2048:2560] = entries
header = bytearray(d[512:604])
struct.pack_into('<QQQQ', header, 24, 1, (1 << 20) // 4096 - 1, 3, (1 << 20) // 4096 - 2)
struct.pack_into('<Q', header, 72, 2)
struct.pack_into('<I', header, 88, zlib.crc32(bytes(entries)))
struct.pack_into('<I', header, 16, 0)
struct.pack_into('<I', header, 16, zlib.crc32(bytes(header)))
out[1024:1116] = header
open(sys.argv[2], 'wb').write(bytes(out))
PY

# --- compound documents and the sector scan: the samples of the tests
samples=$(fixture make_samples.sh samples) || samples="$WORK/samples"
for f in doc xls ppt; do
  [ -f "$samples/sample.$f" ] && cp "$samples/sample.$f" "$OUT/compound_document/"
done
for f in "$samples"/*; do
  size=$(stat -c %s "$f")
  if [ "$size" -le 65536 ] && [[ "$f" != *.img ]]; then cp "$f" "$OUT/sector_scan/"; fi
done
# Samples back to back at sector boundaries, as they lie on a disk.
python3 - "$OUT/sector_scan" <<'PY'
import os, sys
d = sys.argv[1]
blob = b''
for name in sorted(os.listdir(d)):
    data = open(os.path.join(d, name), 'rb').read()
    blob += data + b'\0' * (-len(data) % 512)
    if len(blob) > 60000:
        break
open(os.path.join(d, 'back_to_back.bin'), 'wb').write(blob)
PY

# --- content rules: a real document of every kind the office suite, the
# picture, sound and video tools and the archivers write, each behind the
# type the scan matches it as (two bytes, little-endian) and a piece size.
documents=$(fixture make_documents.sh documents)
for f in "$documents"/*; do
  [ "$(stat -c %s "$f")" -le 262144 ] || continue
  type=$(TESSALOFT_CONFIG_DIR="$WORK/config" "$CLI" --quiet signatures match "$f" 2>/dev/null | awk 'NR == 1 && $1 ~ /^[0-9]+$/ { print $1 }')
  [ -n "$type" ] || continue
  { python3 -c "import sys; sys.stdout.buffer.write(int(sys.argv[1]).to_bytes(2, 'little') + bytes([13]))" "$type"; cat "$f"; } \
    >"$OUT/content_rules/$(basename "$f").bin"
done

# --- signature files and pattern texts of the first set
config="$WORK/config"
for id in 1001 1101 1301 1302 504; do
  TESSALOFT_CONFIG_DIR="$config" "$CLI" signatures export "$id" "$OUT/filesig/$id.filesig" >/dev/null 2>&1 || true
done
# (awk alone takes the first 60: a head in the pipe would end it by SIGPIPE)
awk -v out="$OUT/pattern_text" '/^Signature[0-9]+=/ && n < 60 { sub(/^[^=]*=/, ""); printf "%s", $0 > (out "/p" ++n ".txt") }' \
  "$SRC/data/signatures.ini"


# --- language files, as written and in UTF-16LE with its byte-order mark
for f in "$SRC"/Languages/*.lng; do
  cp "$f" "$OUT/language_file/"
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$f"; } > "$OUT/language_file/$(basename "$f" .lng).utf16.lng"
done

# --- the settings record: laid over the defaults, so short inputs suffice
printf '\x01\x00\x00\x00' > "$OUT/settings_record/one.bin"
python3 -c "import sys; sys.stdout.buffer.write(b'\0' * 1388 + 'D:\\\\Recovered'.encode('utf-16-le') + b'\0\0')" \
  > "$OUT/settings_record/destination.bin"
head -c 728 /dev/zero > "$OUT/settings_record/filter.bin"

# A target without seeds would fuzz from nothing and pass unnoticed.
for t in "$OUT"/*; do
  if [ -z "$(ls -A "$t")" ]; then
    echo "make_seeds.sh: no seeds were made for $(basename "$t")" >&2
    exit 1
  fi
  echo "$(basename "$t"): $(ls "$t" | wc -l) seeds, $(du -sk "$t" | cut -f1) KiB"
done
