#!/usr/bin/env bash
# The ovproxy binary as a user runs it: help and version at top level and
# after a command, and the exit status when the telemetry file cannot be
# written. Usage: ovproxy_cli_test.sh path/to/ovproxy
set -u
ovproxy=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'function FindProxyForURL(url, host) { return "PROXY p:8080"; }\n' >"$work/p.pac"

failures=0
# expect STATUS STDOUT-PATTERN STDERR-PATTERN ARGS...
expect() {
  local status=$1 out_pattern=$2 err_pattern=$3
  shift 3
  "$ovproxy" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -ne "$status" ] ||
      { [ -n "$out_pattern" ] && ! grep -qE -- "$out_pattern" "$work/out"; } ||
      { [ -n "$err_pattern" ] && ! grep -qE -- "$err_pattern" "$work/err"; }; then
    echo "FAIL: ovproxy $* -> status $got (want $status)"
    sed 's/^/  out: /' "$work/out"
    sed 's/^/  err: /' "$work/err"
    failures=$((failures + 1))
  fi
}

expect 0 '^ovproxy [0-9]+\.[0-9]+' '' --version
expect 0 '^ovproxy [0-9]+\.[0-9]+' '' -V
expect 0 '^usage: ovproxy' '' -h
expect 0 '^usage: ovproxy' '' --help
expect 0 '^ovproxy [0-9]+\.[0-9]+' '' resolve --version
expect 0 '^usage: ovproxy pac' '' pac -h
expect 0 'PROXY p:80' '' resolve --proxy p:80 -- -V
expect 2 '' 'unknown command' --versionx
expect 0 'PROXY p:8080' '' --telemetry "$work/t.jsonl" pac -p "$work/p.pac" -u http://a/
if [ -e /dev/full ]; then
  expect 3 'PROXY p:8080' "cannot write '/dev/full'" --telemetry /dev/full pac -p "$work/p.pac" -u http://a/
fi
exit $((failures > 0))
