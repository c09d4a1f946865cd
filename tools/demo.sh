#!/usr/bin/env bash
# Generates the demo scene in demo/, runs kovarind there and summarises.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/demo"
rm -rf "$demo"
"$root/$build/mkscene" "$demo" --lines 60 --pixels 80 --steps 46 --seed 2026
cd "$demo"
start=$(date +%s.%N)
"$root/$build/kovarind" > kovarind.log
end=$(date +%s.%N)
tail -n 1 kovarind.log
"$root/$build/kovsummary" .
awk -v s="$start" -v e="$end" 'BEGIN { printf "time taken: %.2f s\n", e - s }'
