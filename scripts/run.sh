#!/usr/bin/env bash
# Installs what is missing, builds the release programs and runs the
# product's main job: a FAT image holding folders and documents, some of them
# deleted, is made with mkfs.fat and mtools, analysed, and the deleted
# documents that can be recovered are named. Arguments, when given, go to
# tessa-loft-cli instead (for example: scripts/run.sh analyze disk.img).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tessa-loft-cli tl_languages tl_data
cli=build/release/bin/tessa-loft-cli
if [ "$#" -gt 0 ]; then
  exec "$cli" "$@"
fi
demo=build/release/demo
bash tests/fixtures/make_fat_images.sh "$demo" >/dev/null
exec "$cli" --config-dir "$demo/config" demo --image "$demo/fat16.img"
