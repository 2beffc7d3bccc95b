#!/usr/bin/env bash
# Prepares the Wine prefix that the Windows build's tests run in and keeps
# one wineserver alive for it, so each of the many test programs starts in
# milliseconds instead of paying for a Wine start.
#
#   source scripts/wine-session.sh      sets WINEPREFIX and friends, boots the
#                                       prefix when new, starts the server
#   wine_session_stop                   stops the server (test.sh does this)
#
# The prefix is private to the build tree (build/windows/wineprefix) and
# Wine's desktop integration (menus, file associations, Mono and Gecko
# installers) is disabled, so nothing outside the tree changes.
export WINEPREFIX="${WINEPREFIX:-$(pwd)/build/windows/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

# The server first, so that the boot below and every later program use it;
# one that already serves this prefix (a second session) is kept. Neither
# the server nor the boot's background services keep the caller's output
# open: a CI log would otherwise wait for them to end.
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init </dev/null >/dev/null 2>&1 || true
else
  # The first program of a server starts Wine's background services, which
  # inherit its output: started by a test, they would hold the test's pipe
  # open and ctest would wait on it until its time-out.
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi

wine_session_stop() {
  wineserver -k 2>/dev/null || true
}
