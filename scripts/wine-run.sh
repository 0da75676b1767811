#!/usr/bin/env bash
# Runs a Windows program under Wine and exits with the program's exit code:
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
# CMake uses it as the emulator of the Windows build, so ctest runs every Windows
# test program through it.
#
# The Wine prefix lives in the build tree, not in the user's home: builds stay
# independent of each other and of whatever else the machine runs under Wine, and
# deleting the build tree removes it. It is WINEPREFIX when that is set, otherwise
# "wineprefix" in the nearest directory above the program that holds a
# CMakeCache.txt (the program's own directory when there is none). That one is
# created on first use; a lock makes tests that start together wait for one
# creation.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

wine=${MERLOX_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
  echo "wine-run: $wine not found; install the wine64 package (scripts/install-deps.sh)" >&2
  exit 127
fi
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

program=$1
if [ ! -f "$program" ]; then
  echo "wine-run: no such program: $program" >&2
  exit 127
fi
program_dir=$(cd "$(dirname "$program")" && pwd)

build_dir() {
  local dir=$1
  while [ "$dir" != "/" ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then
      echo "$dir"
      return
    fi
    dir=$(dirname "$dir")
  done
  echo "$1"
}

# A prefix the caller chose is the caller's: it is used as it is, and Wine makes
# it on first use if it must. Only the build tree's own prefix is made (and, when
# an earlier creation was interrupted, remade) here.
own_prefix=false
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="$(build_dir "$program_dir")/wineprefix"
  own_prefix=true
fi
export WINEPREFIX
export WINEDEBUG=-all
# Wine's loader starts helper processes through this path.
export WINELOADER=$wine
export WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and asking for them would hang a
# machine without a display or a network.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# CI may run without a home directory or a display; Wine needs neither, but
# some of its helpers look at HOME.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
unset DISPLAY WAYLAND_DISPLAY

ready="$WINEPREFIX/.merlox-prefix-ready"
if $own_prefix && [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    # Another test may have created it while this one waited for the lock.
    if [ ! -f "$ready" ]; then
      # A prefix left half made by an interrupted creation is started afresh.
      rm -rf "$WINEPREFIX"
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 || {
        echo "wine-run: wineboot failed to create $WINEPREFIX" >&2
        exit 1
      }
      # The registry reaches the disk only when the server ends.
      "$wineserver" -w
      touch "$ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# A closed standard input (as under some CI runners) is replaced by an empty one.
{ true <&0; } 2>/dev/null || exec </dev/null
status=0
"$wine" "$@" || status=$?
exit "$status"
