#!/usr/bin/env bash
# The module's exported surface, as one sorted line per symbol, and its
# check against the recorded surface (exported_surface.txt), which the
# Linux library and the Windows DLL must both match.
#
#   exported_surface.sh LIBRARY            prints the surface
#   exported_surface.sh --check LIBRARY    fails unless it is the recorded one
#   exported_surface.sh --update LIBRARY   records it (after an API change)
#
# Only the module's own names count (OVProxy:: and the two entry points).
# LIBRARY is libOrvaProxy.so (read with nm) or OrvaProxy.dll (read with the
# mingw objdump's export table). Names are demangled, and the spellings of
# the 64-bit integer types are made one (int64_t is "long" on Linux, "long
# long" on Windows), so the two platforms compare.
set -euo pipefail
mode=print
case "${1:-}" in --check | --update) mode=${1#--}; shift ;; esac
library=${1:?usage: exported_surface.sh [--check|--update] LIBRARY}
recorded="$(dirname "$0")/exported_surface.txt"

surface() {
  case "$library" in
    *.dll)
      x86_64-w64-mingw32-objdump -p "$library" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^\s*\[ *[0-9]*\] //p' | x86_64-w64-mingw32-c++filt ;;
    *)
      nm -D --defined-only "$library" | awk '{print $3}' | c++filt ;;
  esac | sed -e 's/long long/long/g' -e 's/\[abi:cxx11\]//g' |
    # What the module declares; the Linux library also shows the standard
    # library's template instances it happened to instantiate, which a DLL
    # never exports.
    # The names of the type-information records are exported by the DLL
    # and kept inside the Linux library; the records themselves count.
    grep -E '^((typeinfo|vtable|VTT) for )?OVProxy::|^(InitModule|TermModule)$' |
    LC_ALL=C sort -u
}

case "$mode" in
  print) surface ;;
  update) surface >"$recorded" ;;
  check)
    if ! diff <(surface) "$recorded" >/tmp/exported_surface.$$.diff; then
      echo "$library exports another surface than $recorded (< library, > recorded):" >&2
      head -n 40 /tmp/exported_surface.$$.diff >&2
      rm -f /tmp/exported_surface.$$.diff
      exit 1
    fi
    rm -f /tmp/exported_surface.$$.diff
    echo "exported surface as recorded ($(wc -l <"$recorded") symbols)" ;;
esac
