#!/usr/bin/env bash
# Builds the Debian package of both programs from the release build:
#   scripts/package.sh            -> build/package/tessa-loft_VERSION_ARCH.deb
# Install it with: sudo apt-get install ./build/package/tessa-loft_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tessa-loft tessa-loft-cli tl_languages tl_data tl_desktop_files tl_package_docs
mkdir -p build/package
# CPack installs the release tree into a staging folder and packs it; its
# dependencies come from dpkg-shlibdeps.
(cd build/package && cpack --config ../release/CPackConfig.cmake -G DEB >/dev/null)
ls build/package/tessa-loft_*.deb
