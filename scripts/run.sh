#!/usr/bin/env bash
# Installs what is missing, builds the release programs and runs the
# product's main job on a FAT image holding folders and documents, some of
# them deleted, made with mkfs.fat and mtools. With a display (X11, or Wayland
# through XWayland) the desktop program opens on the image; without one the
# command-line tool analyses it and names the deleted documents that can be
# recovered. Arguments, when given, go to tessa-loft-cli instead (for
# example: scripts/run.sh analyze disk.img).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

cmake --preset release >/dev/null
bin=build/release/bin
if [ "$#" -gt 0 ]; then
  cmake --build --preset release -j "$(nproc)" --target tessa-loft-cli tl_languages tl_data
  exec "$bin/tessa-loft-cli" "$@"
fi
demo=build/release/demo
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cmake --build --preset release -j "$(nproc)" --target tessa-loft tl_languages tl_data
  bash tests/fixtures/make_fat_images.sh "$demo" >/dev/null
  echo "Opening the desktop program on $demo/fat16.img"
  TESSALOFT_CONFIG_DIR="$PWD/$demo/config" exec "$bin/tessa-loft" "$demo/fat16.img"
fi
cmake --build --preset release -j "$(nproc)" --target tessa-loft-cli tl_languages tl_data
bash tests/fixtures/make_fat_images.sh "$demo" >/dev/null
echo "No display here, so the command-line tool analyses the demo image. Run scripts/run.sh in a desktop"
echo "session (or with DISPLAY set) to open the desktop program on it."
echo
exec "$bin/tessa-loft-cli" --config-dir "$demo/config" demo --image "$demo/fat16.img"
