#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
# SCOOPSHIFT_SANITIZE=thread (or address, undefined) builds into its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
extra=()
if [ -n "${SCOOPSHIFT_SANITIZE:-}" ]; then
  build="build-${SCOOPSHIFT_SANITIZE}"
  extra+=(-DSCOOPSHIFT_SANITIZE="${SCOOPSHIFT_SANITIZE}")
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCOOPSHIFT_BUILD_GUI=ON "${extra[@]}"
cmake --build "$build" -j "$(nproc)"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
