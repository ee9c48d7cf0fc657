#!/usr/bin/env bash
# Installs what is missing, builds the release programs and runs the
# product's main job. Extra arguments go to tessa-loft-cli in place of "demo".
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tessa-loft-cli
if [ "$#" -eq 0 ]; then
  set -- demo
fi
exec build/release/bin/tessa-loft-cli "$@"
