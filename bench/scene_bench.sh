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

# The speed features switched in one binary, one thread, interleaved
# repetitions, on five scenes: (a) clear sky, (b) coherent clouds with
# MASK = 0, (c) the same with MASK = 1, (d) the demo scene's independent
# clouds, (e) those clouds with MASK = 1, where nearly every pixel has a
# pattern of its own. Variants: off (none), cache (the fit cache), skip
# (term lists that cannot win left out), cache+skip, cache+skip+group (hits
# replayed in groups of pixels sharing flags: the program's default).
# Columns: wall and processor time, pixels per wall second, cache hit rates,
# reflections applied per pixel, the share of reflections left out and of
# pixels replayed in groups.
clines=${BENCH_CACHE_LINES:-100}
cpixels=${BENCH_CACHE_PIXELS:-500}
scenes=""
for sargs in "a:--clouds none" "b:--clouds coherent" "c:--clouds coherent --mask" \
            "d:--seed 2026" "e:--seed 11 --mask"; do
  name=${sargs%%:*}
  rm -rf "$root/$build/cache-$name"
  # shellcheck disable=SC2086
  "$root/$build/mkscene" "$root/$build/cache-$name" --lines "$clines" --pixels "$cpixels" \
    --seed 7 ${sargs#*:} >/dev/null
  scenes="$scenes${scenes:+,}$name=$root/$build/cache-$name"
done
echo "speed features, scenes ${clines}x${cpixels}x46, one thread (medians of 3):"
OMP_NUM_THREADS=1 KOVARIND_BENCH_SCENES="$scenes" "$root/$build/bench/scene_cache_bench" \
  --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^scene.*_median' |
  sed 's|/iterations:1/process_time/real_time_median||' | sort
