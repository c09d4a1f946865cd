#!/usr/bin/env bash
# Runs both programs under valgrind's memcheck: a smaller demo scene, a small scene
# with excluded steps and first-pass output, one with a mask, and the
# fixed-period build. Any memory error, uninitialised read or leak fails the
# script. (The OpenMP runtime's thread stacks are "possibly lost" by design.)
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kovvalgrind.XXXXXX")
trap 'rm -rf "$work"' EXIT
vg=(valgrind --quiet --error-exitcode=99 --leak-check=full
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
    --track-origins=yes)
run() {  # DIR PROGRAM
  (cd "$1" && OMP_NUM_THREADS=2 "${vg[@]}" "$root/$build/$2" >"$1/out.log")
  tail -n 1 "$1/out.log" | grep -qx ' Program Deadified'
}
"$root/$build/mkscene" "$work/demo" --lines 20 --pixels 30 --steps 46 --seed 2026
run "$work/demo" kovarind
"$root/$build/mkscene" "$work/a" --lines 4 --pixels 12 --intp --exclude 3,17 --seed 7
run "$work/a" kovarind
"$root/$build/mkscene" "$work/b" --lines 3 --pixels 10 --mask --seed 8
run "$work/b" kovarind
"$root/$build/mkscene" "$work/c" --lines 3 --pixels 10 --seed 9
run "$work/c" kovarind-fixed
echo "valgrind: 4 runs clean"
