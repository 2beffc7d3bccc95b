#!/usr/bin/env bash
# The ovproxy binary as a user runs it: help and version, the resolve and
# pac commands' output, their usage errors, and the exit status when the
# telemetry file cannot be written. Usage: ovproxy_cli_test.sh path/to/ovproxy
set -u
ovproxy=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/p.pac" <<'PAC'
function FindProxyForURL(url, host) {
  if (isPlainHostName(host)) return 'DIRECT';
  if (host == 'fail.example') return null;
  return 'PROXY p:8080; HTTPS x:443; DIRECT';
}
PAC
printf 'function FindProxyForURL(url, host) {\n  return "DIRECT"\n' >"$work/broken.pac"
printf '[Proxy]\r\nProxy_Enable=1\r\nHTTP_Proxy_Server=h:80\r\nProxy_Override=<local>\r\n' \
  >"$work/corp.ins"
printf '# comment\n\nhttp://intranet/\n  www.b.example  \n' >"$work/urls.txt"

failures=0
# expect STATUS STDOUT STDERR-PATTERN ARGS...: STDOUT is either the exact
# output (when it holds a newline) or an extended regular expression.
expect() {
  local status=$1 out=$2 err_pattern=$3
  shift 3
  "$ovproxy" "$@" >"$work/out" 2>"$work/err"
  local got=$? out_ok=1
  if [[ "$out" == *$'\n'* ]]; then
    [ "$(cat "$work/out"; echo x)" = "${out}x" ] || out_ok=0
  elif [ -n "$out" ]; then
    grep -qE -- "$out" "$work/out" || out_ok=0
  fi
  if [ "$got" -ne "$status" ] || [ $out_ok -eq 0 ] ||
      { [ -n "$err_pattern" ] && ! grep -qE -- "$err_pattern" "$work/err"; }; then
    echo "FAIL: ovproxy $* -> status $got (want $status)"
    sed 's/^/  out: /' "$work/out"
    sed 's/^/  err: /' "$work/err"
    failures=$((failures + 1))
  fi
}
T=$'\t'
N=$'\n'

expect 0 '^ovproxy [0-9]+\.[0-9]+' '' --version
expect 0 '^ovproxy [0-9]+\.[0-9]+' '' -V
expect 0 '^usage: ovproxy' '' -h
expect 0 '^usage: ovproxy' '' --help
expect 0 '^ovproxy [0-9]+\.[0-9]+' '' resolve --version
expect 0 '^usage: ovproxy pac' '' pac -h
expect 2 '' 'unknown command' --versionx

# resolve: bypass list, implicit bypass, DIRECT as last resort, https:// added.
expect 0 "https://a.corp/x${T}DIRECT${N}https://example.org${T}PROXY p:3128; DIRECT${N}http://localhost:8080/${T}DIRECT${N}http://plain/${T}DIRECT${N}" '' \
  resolve --proxy 'http=p:3128;https=s:3129' '--bypass=*.corp;<local>' \
  https://a.corp/x example.org http://localhost:8080/ http://plain/
expect 0 "https://-V${T}PROXY p:80; DIRECT${N}" '' resolve --proxy p:80 -- -V
expect 1 '"error" : 2' '' resolve --json --proxy 'a:80;b:81' -- x.example ''
# (Each usage error is checked in process; this is the binary's exit status.)
expect 2 '' '^usage: ovproxy resolve' resolve --proxy p:80

# pac: URLs from the command line and from a file, failures, JSON, .ins files.
expect 0 "http://www.a.example/x${T}PROXY p:8080; HTTPS x:443; DIRECT${T}PROXY p:8080${N}http://intranet/${T}DIRECT${T}DIRECT${N}https://www.b.example${T}PROXY p:8080; HTTPS x:443; DIRECT${T}PROXY p:8080${N}" '' \
  pac -p "$work/p.pac" -u http://www.a.example/x -f "$work/urls.txt"
expect 1 "http://fail.example/${T}ERROR${T}203${N}" 'returned null instead of a string' \
  pac -p "$work/p.pac" -u http://fail.example/
expect 1 '"status" : 203' '' pac --json -p "$work/p.pac" -u http://fail.example/
expect 0 "http://www.example/${T}PROXY h:80${T}PROXY h:80${N}http://intranet/${T}${T}DIRECT${N}" '' \
  pac -p "$work/corp.ins" -u http://www.example/ -u http://intranet/
expect 2 '' "cannot read '/nonexistent/proxy.pac'" pac -p /nonexistent/proxy.pac -u http://a/
expect 1 '' 'does not load: SyntaxError.*PAC line' pac -p "$work/broken.pac" -u http://a/
for args in '' '-u http://a/' '-p x.pac' '-p' '--bogus'; do
  # shellcheck disable=SC2086 # each entry is a list of arguments
  expect 2 '' '^usage: ovproxy pac' pac $args
done

# Telemetry records: appended to the file, or reported as lost.
echo 'earlier line' >"$work/t.jsonl"
expect 0 'PROXY p:8080' '' --telemetry "$work/t.jsonl" pac -p "$work/p.pac" -u http://a.example/
expect 0 'PROXY p:8080' '' "--telemetry=$work/t.jsonl" pac -p "$work/p.pac" -u http://a.example/
if [ "$(head -1 "$work/t.jsonl")" != 'earlier line' ] ||
    [ "$(grep -c '"metric":21' "$work/t.jsonl")" -ne 2 ]; then
  echo "FAIL: telemetry lines not appended:"
  cat "$work/t.jsonl"
  failures=$((failures + 1))
fi
expect 2 '' 'needs a FILE' --telemetry
expect 2 '' 'needs a FILE' --telemetry= pac
expect 2 '' 'cannot open' --telemetry "$work/missing/t.jsonl" pac
expect 2 '' 'given twice' --telemetry "$work/a" --telemetry "$work/b" pac
expect 2 '' 'unknown command' --telemetryx f
if [ -e /dev/full ]; then
  expect 3 'PROXY p:8080' "cannot write '/dev/full'" \
    --telemetry /dev/full pac -p "$work/p.pac" -u http://a.example/
fi
exit $((failures > 0))
