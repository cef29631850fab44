#!/usr/bin/env bash
# Runs a Windows program under wine in the Windows lane's prefix (made by
# scripts/setup-windows.sh), with no terminal, no display and a time limit.
#
#   bash scripts/windows-run.sh [--timeout SECONDS] [--no-check] PROGRAM.exe [ARGUMENTS...]
#   bash scripts/windows-run.sh --check
#
# First it brings the lane up: wine runs its own cmd.exe in the prefix, and
# once more after a restart of the wine server if that failed. A lane that
# does not come up (or that the set-up could not make) is no verdict on the
# program: the reason, with wine's own message, goes to standard error and
# the status is 77. --check does only that and prints what runs the 32-bit
# code (`lane qemu` or `lane kernel`); --no-check skips it, for a caller that
# has checked already.
#
# Then PROGRAM runs with its standard output and error passed through, and
# its exit status is the status here; 124 when the time limit (default 600 s)
# ran out and it was killed. Paths for the program can be given as Unix paths
# under Z: (Z:\work\file.gau), which wine maps to the root folder.
#
# The lane is build/windows-lane under the repository's root; Q7_WINDOWS_LANE
# names another.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
lane=${Q7_WINDOWS_LANE:-$root/build/windows-lane}
timeout=600
check=true
only_check=false
while (($#)); do
  case $1 in
    --timeout) timeout=$2; shift 2 ;;
    --no-check) check=false; shift ;;
    --check) only_check=true; shift ;;
    --) shift; break ;;
    -*) echo "windows-run: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if ! $only_check && (($# == 0)); then
  echo "usage: windows-run.sh [--timeout SECONDS] [--no-check] PROGRAM.exe [ARGUMENTS...] | --check" >&2
  exit 2
fi

skip() {
  echo "windows-run: the Windows lane is not available: $1" >&2
  exit 77
}

[[ -f $lane/unavailable ]] && skip "$(cat "$lane/unavailable")"
command -v wine >/dev/null || skip "wine is not installed (bash scripts/setup.sh installs it)"
[[ -f $lane/prefix/system.reg && -f $lane/ready ]] ||
  skip "no wine prefix in $lane/prefix (bash scripts/setup.sh makes it)"

export WINEPREFIX=$lane/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d' WINEARCH=win32
unset DISPLAY WAYLAND_DISPLAY

# Under QEMU a cold start of wine takes about ten seconds, a warm one two.
if $check || $only_check; then
  message=$(mktemp)
  trap 'rm -f "$message"' EXIT
  up=false
  for attempt in 1 2; do
    if [[ $(timeout -k 5 120 wine cmd.exe /c echo q7-lane-up </dev/null 2>"$message") == q7-lane-up* ]]; then
      up=true
      break
    fi
    timeout -k 5 30 wineserver -k </dev/null >/dev/null 2>&1
  done
  $up || skip "wine did not come up in $WINEPREFIX (tried twice); wine said: $(tail -n 5 "$message")"
  if $only_check; then
    sed -n 's/^runner /lane /p' "$lane/ready"
    exit 0
  fi
fi

# --foreground keeps wine in this process group, so that a caller that
# kills the group (the differential, on a case that hangs) kills wine too.
timeout --foreground -k 10 "$timeout" wine "$@" </dev/null
