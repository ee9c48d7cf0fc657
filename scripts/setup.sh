#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Sourced by test.sh and run.sh; safe to run again.
set -euo pipefail

TL_PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  googletest libgtest-dev libbenchmark-dev
  libsqlite3-dev libfmt-dev libcli11-dev nlohmann-json3-dev libblkid-dev libudev-dev
  # CRC32 of GUID partition tables
  zlib1g-dev
  util-linux
  # the desktop program: Qt 6 Widgets, D-Bus (is udisks2 there?) and QtTest
  qt6-base-dev
  # the picture readers beyond PNG, JPEG and GIF (TIFF, WebP) for the previews
  qt6-image-formats-plugins
  # the toolkit's own texts (a question's buttons, the file dialog) in German
  qt6-translations-l10n
  # its desktop session for the end-to-end tests (scripts/gui-session.sh):
  # an X server, the session and accessibility buses, dogtail, fonts
  xvfb xauth dbus dbus-x11 at-spi2-core python3-dogtail python3-pyatspi x11-utils fonts-dejavu-core
  # the freedesktop icon theme the program takes where the desktop names none
  adwaita-icon-theme
  # the fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # fixture makers for the sample files and disk images of the tests
  zip gzip bzip2 xz-utils p7zip-full sqlite3 python3
  libjpeg-turbo-progs libtiff-tools libgsf-bin
  dosfstools mtools ntfs-3g exfatprogs genisoimage fdisk sleuthkit e2fsprogs
  # the FUSE exFAT driver that fills the exFAT images (make_exfat_images.sh)
  exfat-fuse
  # sgdisk, for GUID partition tables
  gdisk
  # real documents of every kind the sector scan recognises, written by the
  # tools of their formats (tests/fixtures/make_documents.sh)
  libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui libreoffice-draw-nogui
  imagemagick ghostscript webp libheif-examples libopenjp2-tools djvulibre-bin
  ffmpeg abcmidi gcab zstd xorriso
  # the other carvers the benchmarks compare with
  testdisk foremost
  # read-only disk descriptors from udisks2 over the system bus (sd-bus), and
  # the system services its tests start (scripts/system-services.sh)
  libsystemd-dev dbus udev polkitd udisks2
  # the Debian package and the desktop integration: icons drawn from the SVG,
  # manual pages, and the checkers of the package, desktop entry and metadata
  dpkg-dev file librsvg2-bin help2man man-db desktop-file-utils appstream lintian
)

tl_missing_packages() {
  local missing=()
  for p in "${TL_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  echo "${missing[@]:-}"
}

tl_install_packages() {
  local missing
  missing=$(tl_missing_packages)
  if [ -z "$missing" ]; then
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: $missing (run as root, or install them with apt-get)" >&2
    return 1
  fi
  echo "Installing: $missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
}
