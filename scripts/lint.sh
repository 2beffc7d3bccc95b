#!/usr/bin/env bash
# Checks the formatting of every C++ file of ours and runs clang-tidy's
# hand-picked checks (.clang-tidy) over the sources of the default build.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.cc' | grep -v '^third_party/')
clang-format --dry-run -Werror "${files[@]}"
[ -f build/default/compile_commands.json ] || cmake --preset default >/dev/null
mapfile -t sources < <(printf '%s\n' "${files[@]}" | grep '\.cc$' | grep -v '^examples/consumer/')
status=0
clang-tidy -p build/default --quiet "${sources[@]}" >/tmp/orvaproxy-tidy.log 2>&1 || status=$?
grep -v 'warnings generated' /tmp/orvaproxy-tidy.log || true
exit $status
