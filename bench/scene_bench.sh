#!/usr/bin/env bash
# Whole-scene throughput: a generated 46-step scene of 200 lines x 1000
# pixels processed with one thread and with every core.
set -euo pipefail
build=${1:-build-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/$build/scene"
lines=${BENCH_LINES:-200}
pixels=${BENCH_PIXELS:-1000}
rm -rf "$dir"
"$root/$build/mkscene" "$dir" --lines "$lines" --pixels "$pixels" --seed 7 >/dev/null
cores=$(nproc)
cd "$dir"
declare -A rate
for t in 1 "$cores"; do
  rm -f p.bsq f.bsq order.dat aic.dat min.dat max.dat
  s=$(date +%s.%N)
  OMP_NUM_THREADS=$t "$root/$build/kovarind" >/dev/null
  e=$(date +%s.%N)
  rate[$t]=$(awk -v n=$((lines * pixels)) -v s="$s" -v e="$e" 'BEGIN { printf "%.0f", n / (e - s) }')
  echo "scene ${lines}x${pixels}x46, $t thread(s): ${rate[$t]} pixels/s"
done
awk -v a="${rate[1]}" -v b="${rate[$cores]}" -v c="$cores" \
  'BEGIN { printf "speed-up with %d threads: %.2fx (%.0f pixels/s per core)\n", c, b / a, b / c }'
