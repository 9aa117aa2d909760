#!/usr/bin/env bash
# Peer comparison: times G'MIC's pixelsort (rows, sorted by luminance where the luminance lies
# below one half, the band [0, 0.5) of Korvane's default look) and Korvane's default look on the
# same 1920x1080 picture in the same run, and prints both medians and their ratio.
#
#   bench/peers.sh [path/to/korvane_bench_frame]     (RUNS=5 by default)
#
# G'MIC is not one of the build's dependencies: when `gmic` is missing this script installs the
# Debian package itself (apt-get, as root or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
bench=${1:-}
if [ -z "$bench" ]; then
  for candidate in build/release/bench/korvane_bench_frame build/bench/korvane_bench_frame build-*/bench/korvane_bench_frame; do
    if [ -x "$candidate" ]; then bench=$candidate; break; fi
  done
fi
if [ -z "$bench" ] || [ ! -x "$bench" ]; then
  echo "peers.sh: korvane_bench_frame not found; build it (cmake --preset release && cmake --build --preset release --target korvane_bench_frame) or pass its path" >&2
  exit 2
fi

if ! command -v gmic >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "peers.sh: installing gmic" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends gmic >/dev/null \
    || { DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends gmic >/dev/null; }
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$bench" --write-image "$tmp/frame.ppm" --size 1920x1080

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Korvane: the whole frame through the host, default look, 8 bits.
korvane_ms=$("$bench" --sizes 1920x1080 --depths 8 --looks defaults --runs "$runs" | awk '$1 == "defaults" { print $4 }')

# G'MIC: luminance, the band mask and the sort, timed inside G'MIC (no file I/O, no start-up).
gmic_times=()
for _ in $(seq "$runs"); do
  seconds=$(gmic -v -1 "$tmp/frame.ppm" tic +luminance +lt[1] 128 pixelsort[0] +,x,[1],[2] toc 2>&1 \
    | sed 's/\x1b\[[0-9;]*m//g' | sed -n 's/.*Elapsed time: \([0-9.]*\) s.*/\1/p' | tail -1)
  gmic_times+=("$(awk -v s="$seconds" 'BEGIN { print s * 1000 }')")
done
gmic_ms=$(printf '%s\n' "${gmic_times[@]}" | median)

printf 'frame 1920x1080, 8 bits, %s runs each (medians)\n' "$runs"
printf '  korvane defaults          %10.1f ms\n' "$korvane_ms"
printf "  gmic pixelsort +,x (lum) %10.1f ms\n" "$gmic_ms"
awk -v k="$korvane_ms" -v g="$gmic_ms" 'BEGIN { printf "  ratio gmic / korvane     %10.1f x\n", g / k }'
