#!/usr/bin/env bash
# Pixels per second of kovarind-mpi with 1 and 2 ranks (one thread each) on a
# generated scene of 46 steps, 200 lines and 500 pixels (timed with the
# launch of mpirun included); the products of both
# runs are checked against each other byte for byte.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
exe="$root/$build/kovarind-mpi"
if [ ! -x "$exe" ]; then
  echo "bench-mpi: $exe not built (no MPI found at configure time?)" >&2
  exit 1
fi
lines=${BENCH_LINES:-200}
pixels=${BENCH_PIXELS:-500}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OMP_NUM_THREADS=1 OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
for n in 1 2; do
  "$root/$build/mkscene" "$work/np$n" --lines "$lines" --pixels "$pixels" \
    --steps 46 --seed 2026
  cd "$work/np$n"
  start=$(date +%s.%N)
  mpirun --oversubscribe -np "$n" "$exe" > run.log
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$n" -v px=$((lines * pixels)) \
    'BEGIN { printf "kovarind-mpi, %d rank(s), 1 thread each: %d pixels in %.2f s, %.0f pixels/s\n", n, px, e - s, px / (e - s) }'
done
for f in p.bsq f.bsq order.dat aic.dat min.dat max.dat; do
  cmp -s "$work/np1/$f" "$work/np2/$f" || { echo "bench-mpi: $f differs between 1 and 2 ranks" >&2; exit 1; }
done
echo "products of 1 and 2 ranks identical"
