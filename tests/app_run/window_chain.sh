#!/usr/bin/env bash
# The real patcher's window bringing the demo installation from build 100 to 102: the two patches
# appended to a copy of the patcher, "Apply Update" pressed on a virtual display, the screenshot
# of the end kept, and every file's MD5 checked against build 102.
#
#   window_chain.sh <patcher binary> <md5-tool binary> <screenshot.png>
set -euo pipefail
patcher=$1 md5tool=$2 shot=$3
support="$(cd "$(dirname "$0")/../../scripts/demo-support" && pwd)"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/work" "$root/tmp" "$root/registry" "$root/home"
# A patch run refuses to start without 4096 MB free on the installation's disk (the run's own
# figure): with less, say what is needed and skip (77) before anything starts.
free_mb=$(df -Pm "$root" | awk 'NR == 2 { print $4 }')
if [ "$free_mb" -lt 4096 ]; then
  echo "window_chain: skipped: a whole patch run needs 4096 MB free on the disk of TMPDIR ($root), which has $free_mb MB"
  exit 77
fi
export LUMO_REGISTRY_ROOT=$root/registry TMPDIR=$root/tmp HOME=$root/home LUMO_ELEVATOR=none LANG=C.UTF-8
unset LANGUAGE LC_ALL LC_MESSAGES

python3 "$support/demo.py" install "$root/install" "$LUMO_REGISTRY_ROOT" > /dev/null
for step in 101 102; do
  python3 "$support/demo.py" package "$step" "$root/work/stage-$step" "$root/work/$((step - 1))-$step.pkg" > /dev/null
done
python3 "$support/demo.py" append "$patcher" "$root/work/sollex-patcher" "$root/work/100-101.pkg" "$root/work/101-102.pkg" > /dev/null
"$support/window-run" "$root/work/sollex-patcher" "$root/install" "$shot" "$root/work"
(cd "$root/install" && find . -type f -print0 | xargs -0 "$md5tool") > "$root/work/md5s.txt"
python3 "$support/demo.py" verify 102 "$root/install" "$root/work/md5s.txt"
[ -z "$(find "$root/install" -name '*.pbk' -o -name 'patch.journal' -o -name '.sollex-patcher-*')" ]
echo "window_chain: build 102 reached in the window; screenshot $shot"
