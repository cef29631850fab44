# Sourced by the project's scripts: the wine prefix, a persistent wineserver and
# a virtual X display for the programs of one run.
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/quorlan7-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win32
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
[[ -x /usr/lib/wine/wineserver64 ]] && export WINESERVER="${WINESERVER:-/usr/lib/wine/wineserver64}"

_q7_xvfb_pid=""

wine_session_start() {
  if [[ -z "${DISPLAY:-}" ]]; then
    local n=77
    while [[ -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    _q7_xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
  fi
  "${WINESERVER:-wineserver}" -p
}

wine_session_stop() {
  "${WINESERVER:-wineserver}" -k 2>/dev/null || true
  [[ -n "$_q7_xvfb_pid" ]] && kill "$_q7_xvfb_pid" 2>/dev/null || true
}
