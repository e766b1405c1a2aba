#!/usr/bin/env bash
# Smoke run of the real patcher: started with no installation on a virtual display of its own,
# with a window manager, it must show its window with the red line "No valid patch operation was
# specified. Patching aborted." (and "Apply Update" disabled, as a person can see on the
# screenshot), and a close request from the window manager must end it with status 0.
#
#   patcher_smoke.sh <patcher binary> <screenshot.png>
set -euo pipefail
patcher="$1"
shot="$2"
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "patcher_smoke: $*" >&2; [ -f "$work/patcher.log" ] && sed 's/^/  patcher: /' "$work/patcher.log" >&2; exit 1; }

# A display of its own, so the window manager never meets the other window tests' windows.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)

# Nothing installed: an empty registry, a private home and temporary folder, no elevation.
mkdir -p "$work/home" "$work/tmp" "$work/registry"
export HOME="$work/home" TMPDIR="$work/tmp" LUMO_REGISTRY_ROOT="$work/registry" LUMO_ELEVATOR=none
export NO_AT_BRIDGE=1 GDK_BACKEND=x11 LANG=C.UTF-8
# The page comes from this machine; WebKit draws nothing on a virtual display in compositing mode.
printf '%s\n' "<html><body style='background:rgb(0,192,0);color:white'>Sollex news</body></html>" >"$work/page.html"
export SOLLEX_PAGE_URL="file://$work/page.html" WEBKIT_DISABLE_COMPOSITING_MODE=1
unset LANGUAGE LC_ALL LC_MESSAGES
dumps_before="$(ls "$(dirname "$patcher")" | grep -c '\.dmp$' || true)"
"$patcher" >"$work/patcher.log" 2>&1 &
patcher_pid=$!

title="Kestin Patcher"
for _ in $(seq 150); do
  wmctrl -l 2>/dev/null | grep -q "$title" && break
  kill -0 "$patcher_pid" 2>/dev/null || fail "the patcher ended before showing its window"
  sleep 0.1
done
wmctrl -l | grep -q "$title" || fail "no window \"$title\" appeared"
sleep 1  # let it paint

import -display "$DISPLAY" -window root "$shot"
# The error line is drawn in pure red; nothing else in the window is.
red="$(/usr/bin/convert "$shot" -fill black +opaque 'rgb(255,0,0)' -fill white -opaque 'rgb(255,0,0)' \
        -format '%[fx:round(mean*w*h)]' info:)"
[ "$red" -gt 50 ] || fail "no red error line on the screenshot ($red red pixels)"

wmctrl -c "$title"
for _ in $(seq 100); do kill -0 "$patcher_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$patcher_pid" 2>/dev/null; then
  kill "$patcher_pid"
  fail "the patcher did not end after the close request"
fi
status=0
wait "$patcher_pid" || status=$?
[ "$status" -eq 0 ] || fail "the patcher ended with status $status"
dumps_after="$(ls "$(dirname "$patcher")" | grep -c '\.dmp$' || true)"
[ "$dumps_after" -eq "$dumps_before" ] || fail "a crash dump was written"
echo "patcher_smoke: window shown, closed with status 0; screenshot $shot"
