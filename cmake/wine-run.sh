#!/bin/sh
# Runs one Windows program under Wine, for CTest.
export WINEDEBUG="${WINEDEBUG:--all}"

# A new Wine prefix is made by the first program that runs in it, and two made
# at once trip over each other: the first caller makes it while the others wait.
prefix="${WINEPREFIX:-$HOME/.wine}"
if [ ! -f "$prefix/system.reg" ]; then
  (
    flock 9
    [ -f "$prefix/system.reg" ] || wine cmd /c exit </dev/null >/dev/null 2>&1
  ) 9>"${TMPDIR:-/tmp}/dat-wine-prefix-$(id -u).lock"
fi

# Wine's server and the system processes that a program brings up outlive it
# and keep whatever output it was given open, so CTest would wait for them to
# quit before it counts the test done. The program therefore writes to files
# of its own, passed on once it has ended.
out=$(mktemp) || exit 125
err=$(mktemp) || { rm -f "$out"; exit 125; }
wine "$@" >"$out" 2>"$err" </dev/null
status=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $status
