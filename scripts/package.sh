#!/usr/bin/env bash
# Builds the Debian package scoopshift_<version>_<arch>.deb into the project folder: installs
# what is needed, builds the programs in build/ and packs them with CPack. Install it with
#   sudo apt install ./scoopshift_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCOOPSHIFT_BUILD_GUI=ON
cmake --build build -j "$(nproc)" --target scoopshift scoopshift-cli compressed_documents
rm -rf build/package
(cd build && cpack -G DEB -B package)
for deb in build/package/scoopshift_*.deb; do
  mv -f "$deb" .
  echo "Built $(basename "$deb")"
done
