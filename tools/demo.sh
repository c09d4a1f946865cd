#!/usr/bin/env bash
# Generates the demo scene in demo/, runs kovarind there and summarises the
# run: pixels, failed fits, products and their sizes, time taken.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/demo"
kit="$root/kovarkit/bin/kovarkit"
rm -rf "$demo"
"$root/$build/mkscene" "$demo" --lines 60 --pixels 80 --steps 46 --seed 2026
cd "$demo"
start=$(date +%s.%N)
"$root/$build/kovarind" > kovarind.log
end=$(date +%s.%N)
echo "kovarind finished: $(tail -n 1 kovarind.log | sed 's/^ //')"
"$kit" summary -C "$demo"
echo "products:"
for f in p.bsq i.bsq f.bsq order.dat aic.dat min.dat max.dat; do
  [ -e "$f" ] && printf '  %-10s %10d bytes\n' "$f" "$(stat -c %s "$f")"
done
awk -v s="$start" -v e="$end" 'BEGIN { printf "time taken: %.2f s\n", e - s }'
"$kit" hdr -C "$demo" >/dev/null
"$kit" plot 30 40 -C "$demo" -o "$demo/pixel-30-40.png" >/dev/null
"$kit" map p.bsq 3 -C "$demo" -o "$demo/amplitude1.png" >/dev/null
echo "pictures: demo/pixel-30-40.png demo/amplitude1.png (ENVI headers written for GIS)"
