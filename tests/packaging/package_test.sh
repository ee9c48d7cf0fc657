#!/usr/bin/env bash
# The Debian package as a user receives it: made by CPack from the release
# tree, checked by lintian (errors fail; warnings are printed), its desktop
# entry, metadata, icons and manual pages checked by their tools, then unpacked
# into a scratch root where both installed programs run from the installed
# files alone: the command-line tool analyses a FAT image made by mkfs.fat and
# mtools, and the desktop program shows its first window with the icon.
#
#   package_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BUILD_DIR SOURCE_DIR WORK_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) work=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/deb"
work=$(cd "$work" && pwd)
(cd "$work/deb" && cpack --config "$build/CPackConfig.cmake" -G DEB >"$work/cpack.log" 2>&1) ||
  fail "cpack failed: $(tail -20 "$work/cpack.log")"
debs=("$work"/deb/tessa-loft_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single tessa-loft_*.deb"
deb=${debs[0]}
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

# Its fields, and dependencies computed from the programs' libraries.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libsqlite3 libsystemd0 libblkid1 libstdc++6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = admin ] || fail "the section is not admin"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "the package names no maintainer"
# Installable with apt on this machine (simulated: nothing is installed).
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  fail "apt-get would not install the package: $(tail -5 "$work/apt.log")"
grep -q "^Inst tessa-loft " "$work/apt.log" || fail "apt-get does not plan to install tessa-loft: $(cat "$work/apt.log")"

# lintian: errors fail the test, warnings are listed.
lintian --tag-display-limit 0 --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
  fail "lintian finds errors:
$(cat "$work/lintian.log")"
sed 's/^/lintian: /' "$work/lintian.log"

root=$work/root
dpkg-deb -x "$deb" "$root"
usr=$root/usr
for f in bin/tessa-loft bin/tessa-loft-cli share/tessa-loft/signatures.ini share/tessa-loft/Languages/English.lng \
  share/tessa-loft/Languages/Deutsch.lng share/applications/org.tessaloft.TessaLoft.desktop \
  share/metainfo/org.tessaloft.TessaLoft.metainfo.xml share/mime/packages/tessa-loft.xml \
  share/icons/hicolor/scalable/apps/org.tessaloft.TessaLoft.svg share/man/man1/tessa-loft.1.gz \
  share/man/man1/tessa-loft-cli.1.gz share/doc/tessa-loft/copyright share/doc/tessa-loft/changelog.gz \
  share/polkit-1/actions/org.tessaloft.TessaLoft.policy; do
  [ -f "$usr/$f" ] || fail "the package lacks /usr/$f"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$usr/share/icons/hicolor/${size}x${size}/apps/org.tessaloft.TessaLoft.png
  file "$png" | grep -q "PNG image data, $size x $size" || fail "the ${size} px icon is not a $size px PNG: $(file "$png")"
done
desktop-file-validate "$usr/share/applications/org.tessaloft.TessaLoft.desktop" || fail "desktop-file-validate"
grep -qx 'Exec=tessa-loft %f' "$usr/share/applications/org.tessaloft.TessaLoft.desktop" || fail "Exec is not tessa-loft %f"
appstreamcli validate --no-net "$usr/share/metainfo/org.tessaloft.TessaLoft.metainfo.xml" || fail "appstreamcli validate"
grep -q 'exec.path">/usr/bin/tessa-loft-cli<' "$usr/share/polkit-1/actions/org.tessaloft.TessaLoft.policy" ||
  fail "the polkit action does not name /usr/bin/tessa-loft-cli"
for page in tessa-loft tessa-loft-cli; do
  text=$(MANWIDTH=80 man --warnings -l "$usr/share/man/man1/$page.1.gz" 2>"$work/man.err") ||
    fail "man -l $page.1.gz failed: $(cat "$work/man.err")"
  [ ! -s "$work/man.err" ] || fail "man -l $page.1.gz warns: $(cat "$work/man.err")"
  grep -q "READING DISKS" <<<"$text" || fail "the manual page of $page does not tell how disks are read"
done
grep -q -- "--config-dir" <<<"$(MANWIDTH=80 man -l "$usr/share/man/man1/tessa-loft-cli.1.gz")" ||
  fail "the manual page of tessa-loft-cli lacks its options"

# The installed programs, from the installed files only: the build tree is
# out of their reach (another folder), and their own folder holds no data.
cli=$usr/bin/tessa-loft-cli
[ ! -e "$usr/bin/Languages" ] && [ ! -e "$usr/bin/data" ] || fail "data beside the installed programs"
version=$("$cli" --version)
[ "$version" = "tessa-loft-cli $(dpkg-deb -f "$deb" Version)" ] || fail "--version says '$version'"
status=$("$cli" --config-dir "$work/config" demo 2>"$work/demo.err") || fail "demo failed: $(cat "$work/demo.err")"
grep -q "available in $usr/share/tessa-loft/Languages" <<<"$status" || fail "the languages are not the installed ones: $status"
grep -q "installed from '$usr/share/tessa-loft/signatures.ini'" "$work/demo.err" ||
  fail "the first signature set is not the installed one: $(cat "$work/demo.err")"
grep -Eq "File types known: +[1-9]" <<<"$status" || fail "no file types known: $status"
german=$("$cli" --config-dir "$work/config" --language Deutsch demo 2>&1) || fail "--language Deutsch failed: $german"

fixtures=${TL_FIXTURE_DIR:-$work/fixtures}
bash "$source/tests/fixtures/fixture.sh" make_fat_images.sh "$fixtures/fat" ||
  fail "the FAT images could not be made: $(tail -5 "$fixtures/fat.log")"
listing=$("$cli" --quiet --config-dir "$work/config" analyze "$fixtures/fat/fat16.img") || fail "analyze failed"
grep -q "Draft Report.txt  600  \[deleted\]" <<<"$listing" || fail "analyze does not list the deleted report: $listing"

# The desktop program: its first window, as the desktop shows it, with the
# icon taken from the installed theme.
"$source/scripts/gui-session.sh" /usr/bin/python3 "$source/tests/packaging/installed_window.py" \
  "$usr" "$fixtures/fat/fat16.img" "$work" || fail "the installed desktop program did not show its window"
echo "PASS"
