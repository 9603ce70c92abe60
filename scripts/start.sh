#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it. The program runs in the build
# folder, so its log (log_swizzle.txt) lands there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCOOPSHIFT_BUILD_GUI=ON
cmake --build build -j "$(nproc)" --target scoopshift
cd build
exec ./src/sys/scoopshift
