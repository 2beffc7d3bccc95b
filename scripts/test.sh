#!/usr/bin/env bash
# Builds and runs every test: the default preset, then AddressSanitizer +
# UndefinedBehaviorSanitizer, then ThreadSanitizer, then the Windows build
# (cross-compiled with mingw-w64, its tests run under Wine). Name presets to
# run only those: scripts/test.sh default windows
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then presets=(default asan tsan windows); fi

jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== preset $preset"
  start=$(date +%s)
  if [ "$preset" = windows ]; then
    # Test discovery runs the programs at build time, so Wine is up first.
    # shellcheck source=scripts/wine-session.sh
    source scripts/wine-session.sh
    trap wine_session_stop EXIT
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
  echo "=== preset $preset passed in $(( $(date +%s) - start )) s"
done
