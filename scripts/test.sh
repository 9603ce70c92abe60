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
status=0
ctest --output-on-failure -j "$(nproc)" || status=$?
# Programs that the tests start (the window, the terminal front end) report to the test's log
# without failing it; under a sanitizer any report there fails the run too.
reports='WARNING: ThreadSanitizer|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:'
if [ -n "${SCOOPSHIFT_SANITIZE:-}" ] && grep -E -q "$reports" Testing/Temporary/LastTest.log; then
  echo "Sanitizer reports in $build/Testing/Temporary/LastTest.log:"
  grep -E "$reports" Testing/Temporary/LastTest.log | sort | uniq -c
  status=1
fi
exit "$status"
