#!/usr/bin/env bash
# The product executable carries the tracking allocator: its global operators and the main
# wrapper are linked in, and a run that ends early (the usage text, no display) still writes the
# leak report to the debugger output at exit.
#
#   product_tracking.sh <patcher binary>
set -euo pipefail
patcher="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "product_tracking: $*" >&2; [ -f "$work/out.txt" ] && sed 's/^/  patcher: /' "$work/out.txt" >&2; exit 1; }

nm -C "$patcher" >"$work/symbols.txt"
grep -q 'DebugAllocator::' "$work/symbols.txt" || fail "no DebugAllocator in $patcher"
grep -q ' T __wrap_main$' "$work/symbols.txt" || fail "no __wrap_main in $patcher"
grep -q ' T operator new(unsigned long)$' "$work/symbols.txt" || fail "no global operator new of its own in $patcher"

mkdir -p "$work/home" "$work/tmp" "$work/registry"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home" TMPDIR="$work/tmp" LUMO_REGISTRY_ROOT="$work/registry" \
  LUMO_ELEVATOR=none LUMO_DEBUG_OUTPUT=1 "$patcher" -h >"$work/out.txt" 2>&1 || status=$?
grep -q 'Usage: ' "$work/out.txt" || fail "no usage text (status $status)"
grep -q '^>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>$' "$work/out.txt" || fail "no leak report"
grep -Eq '^A total of [0-9]+ leaks at [0-9]+ locations\.$' "$work/out.txt" || fail "no total line in the leak report"
grep -q '^<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<$' "$work/out.txt" || fail "the leak report has no end"
# Frees of blocks the allocator handed out are all known: nothing reaches free() unrecorded.
if grep -q 'nknown memory block' "$work/out.txt"; then fail "unknown blocks freed"; fi
echo "product_tracking: $(grep -E '^A total of' "$work/out.txt")"
