#!/usr/bin/env bash
# Builds the `fuzz` preset (clang, libFuzzer, every library instrumented) and
# runs every fuzz target, one after another, at the lowest CPU priority.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      each target for SECONDS (60)
#   scripts/fuzz.sh --runs N [TARGET...]       each target for N executions
#
# TARGET is a name such as pac_result (fuzz/pac_result_fuzz.cc); none means
# all. Seeds come from fuzz/corpus/<name>/ (never written to); what the
# fuzzer learns goes to build/fuzz/corpus/<name>/ and is reused by the next
# run; findings go to build/fuzz/findings/<name>/. Extra libFuzzer flags can
# be given in FUZZ_FLAGS. Prints executions and coverage per target and
# exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
if [ "${1:-}" = "--runs" ]; then
  limit=(-runs="${2:?--runs needs a count}")
  shift 2
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  limit=(-max_total_time="$1")
  shift
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cc; do
    name=$(basename "$source" _fuzz.cc)
    targets+=("$name")
  done
fi

# Longest input per target: where cost grows with size (answer lists, INI
# sections, JSON documents) the fuzzer must be allowed to build large inputs.
max_len() {
  case "$1" in
    pac_result | ins_parser) echo 65536 ;;
    admin_settings) echo 131072 ;;
    proxy_rules | proxy_list | bypass_rules) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target "${targets[@]/%/_fuzz}"

status=0
summary=()
for name in "${targets[@]}"; do
  binary=build/fuzz/fuzz/${name}_fuzz
  corpus=build/fuzz/corpus/$name
  findings=build/fuzz/findings/$name
  log=build/fuzz/logs/$name.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  echo "=== $name"
  # shellcheck disable=SC2086 # FUZZ_FLAGS is a list of flags
  if nice -n 19 "$binary" "${limit[@]}" -max_len="$(max_len "$name")" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$findings/" ${FUZZ_FLAGS:-} \
      "$corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
    result=ok
  else
    result="FINDING (see $log and $findings/)"
    status=1
  fi
  # A run that stopped on a finding prints no final statistics: missing
  # numbers read "?" and the next target still runs.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$( (grep -o 'cov: [0-9]*' "$log" || true) | tail -1 | cut -d' ' -f2)
  ft=$( (grep -o 'ft: [0-9]*' "$log" || true) | tail -1 | cut -d' ' -f2)
  seconds=$( (grep -o 'Done [0-9]* runs in [0-9]* second' "$log" || true) | awk '{print $5}')
  line="$name: ${runs:-?} executions in ${seconds:-?} s, coverage ${cov:-?} edges, ${ft:-?} features: $result"
  echo "$line"
  summary+=("$line")
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
