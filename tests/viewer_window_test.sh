#!/usr/bin/env bash
# The viewer's window on a virtual X server of its own: a synthetic click on
# the right-arrow button must change the identifier the window shows, a click
# in the gap between the buttons must not, the Right key turns the heading,
# and q closes the window. What the window shows is read from the readout log
# the viewer prints. Exits 77 (skipped) only when Xvfb is not installed.
set -u
viewer=${1:?usage: viewer_window_test.sh PATH-TO-quorlan7-view}
scale=4

if ! command -v Xvfb >/dev/null; then
  echo "Xvfb is not installed (scripts/setup.sh installs it): skipped"
  exit 77
fi
if ! command -v xdotool >/dev/null; then
  echo "FAIL: xdotool is not installed (scripts/setup.sh installs it)"
  exit 1
fi

work=$(mktemp -d)
xvfb_pid='' viewer_pid=''
cleanup() {
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- viewer log"; cat "$work/log" 2>/dev/null
  echo "--- viewer errors"; cat "$work/err" 2>/dev/null
  exit 1
}

# Waits up to $1 tenths of a second for a command to succeed.
wait_for() {
  local tenths=$1; shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# Xvfb picks a free display number itself and writes it once it accepts
# connections.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
wait_for 100 test -s "$work/display" || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
export DISPLAY=":$(head -n1 "$work/display")"
echo "Xvfb on $DISPLAY"

"$viewer" --window --scale "$scale" >"$work/log" 2>"$work/err" &
viewer_pid=$!
wait_for 100 grep -q 'ready' "$work/log" || fail "the window did not come up"
window=$(grep -o 'window 0x[0-9a-fA-F]*' "$work/log" | head -n1 | cut -d' ' -f2)
[ -n "$window" ] || fail "no window id in the log"
grep -q '^ident GGATE number 1 distance 12' "$work/log" || wait_for 50 grep -q '^ident GGATE' "$work/log" ||
  fail "the first readout is not GGATE"

# Clicks at gauge pixels, sent to the window at the enlarged scale.
click() {
  xdotool mousemove --window "$window" $(($1 * scale + scale / 2)) $(($2 * scale + scale / 2)) click 1 2>/dev/null
}

click 18 68   # the gap between the arrows
wait_for 50 grep -q '^click 18,68 missed' "$work/log" || fail "the click in the gap did not arrive"
if grep -q '^ident NIMIT' "$work/log"; then fail "a click in the gap stepped the waypoint"; fi

click 26 68   # the right arrow
wait_for 50 grep -q '^ident NIMIT number 2' "$work/log" || fail "the right arrow did not step to NIMIT"
echo "right arrow: $(grep '^ident NIMIT' "$work/log" | head -n1)"

xdotool key --window "$window" Right 2>/dev/null
wait_for 50 grep -q '^ident NIMIT number 2 distance [0-9]* heading 335.0' "$work/log" ||
  fail "the Right key did not turn the heading to 335"

xdotool key --window "$window" q 2>/dev/null
wait_for 50 bash -c "! kill -0 $viewer_pid 2>/dev/null" || fail "q did not close the window"
wait "$viewer_pid"
status=$?
viewer_pid=''
[ "$status" -eq 0 ] || fail "the viewer exited with status $status"
echo "PASS"
