#!/usr/bin/env bash
# Builds and runs every test: the default preset, then AddressSanitizer +
# UndefinedBehaviorSanitizer, then ThreadSanitizer. Name presets to run only
# those: scripts/test.sh default
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then presets=(default asan tsan); fi

jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== preset $preset"
  start=$(date +%s)
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
  echo "=== preset $preset passed in $(( $(date +%s) - start )) s"
done
