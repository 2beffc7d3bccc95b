#!/usr/bin/env bash
# The data-sync bus between real ovproxy processes under Wine: a running
# `config --watch` receives what a `resolve` run publishes, `sync dump`
# shows it, and the watcher's name leaves the bus with its process.
#
#   ovproxy_bus_processes_test.sh WINE OVPROXY_EXE
#
# The processes share a rendezvous directory of the test's own
# (ORVAPROXY_BUS_DIR). The machine's configuration is set to a manual proxy
# for the run (restored afterwards), so no module looks for a PAC script on
# the network. Waits are bounded polls of what the processes leave behind.
set -u
WINE="$1"
OVPROXY="$2"
dir=$(mktemp -d)
export ORVAPROXY_BUS_DIR="Z:${dir//\//\\}"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
saved=$("$WINE" reg query "$key" /v DefaultConnectionSettings 2>/dev/null |
  awk '/REG_BINARY/ { print $3 }')
watcher=
cleanup() {
  if [ -n "$watcher" ]; then kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null; fi
  if [ -n "$saved" ]; then
    "$WINE" reg add "$key" /v DefaultConnectionSettings /t REG_BINARY /d "$saved" /f >/dev/null
  else
    "$WINE" reg delete "$key" /v DefaultConnectionSettings /f >/dev/null 2>&1
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Up to 10 s for a condition.
await() { for _ in $(seq 100); do eval "$1" && return 0; sleep 0.1; done; return 1; }

# Version 0x46, flags direct|proxy, proxy "p.example:3128", no bypass, no URL.
proxy=$(printf 'p.example:3128' | od -An -tx1 | tr -d ' \n')
"$WINE" reg add "$key" /v DefaultConnectionSettings /t REG_BINARY \
  /d "4600000000000000030000000e000000${proxy}000000000000000000000000000000" /f >/dev/null ||
  fail "could not set the machine's configuration"

"$WINE" "$OVPROXY" config --watch >"$dir/watch.out" 2>&1 </dev/null &
watcher=$!
await 'compgen -G "$dir/*.pipe" >/dev/null' || fail "the watcher never joined the bus"
name=$(basename "$(compgen -G "$dir/*.pipe")")

out=$("$WINE" "$OVPROXY" resolve http://a.example/ https://b.example:8443/ 2>&1) ||
  fail "resolve: $out"
dump=$("$WINE" "$OVPROXY" sync dump 2>&1)
for expected in "cached hosts: 2" "http://a.example -> PROXY p.example:3128" \
  "https://b.example:8443 -> PROXY p.example:3128"; do
  grep -qF "$expected" <<<"$dump" || fail "sync dump lacks '$expected':"$'\n'"$dump"
done

# A process that ends takes its name with it, however it ends.
kill -KILL "$watcher"
wait "$watcher" 2>/dev/null
watcher=
await '[ ! -e "$dir/$name" ]' || fail "the ended watcher's name $name stayed"
echo "ok"
