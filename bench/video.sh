#!/usr/bin/env bash
# The video path against its parts, in one run: `korvane render` of a 10-second 1920x1080 lossless
# clip (FFV1 in, .mkv out, default look), ffmpeg moving the same clip through the same pixel
# formats with no effect (the I/O floor), and the effect's in-process frame time.
#
#   bench/video.sh [build folder]     (default build/release; RUNS=3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
runs=${RUNS:-3}
korvane=$build/bin/korvane
frame_bench=$build/bench/korvane_bench_frame
for program in "$korvane" "$frame_bench"; do
  [ -x "$program" ] || { echo "video.sh: $program not found; build the release preset first" >&2; exit 2; }
done
command -v ffmpeg >/dev/null || { echo "video.sh: ffmpeg not found (Debian package 'ffmpeg')" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frames=240

# The frame benchmark's picture, drifting sideways so that no two frames are the same.
"$frame_bench" --write-image "$work/picture.ppm" --size 1920x1080 >/dev/null
ffmpeg -nostdin -v error -loop 1 -framerate 24 -i "$work/picture.ppm" -frames:v $frames -vf scroll=h=0.002 \
  -c:v ffv1 -level 3 -g 1 -pix_fmt bgr0 "$work/clip.mkv"

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

korvane_times=() floor_times=()
for _ in $(seq "$runs"); do
  korvane_times+=("$(seconds "$korvane" render "$work/clip.mkv" -o "$work/sorted.mkv" -q)")
  floor_times+=("$(seconds ffmpeg -nostdin -v error -y -i "$work/clip.mkv" -vf format=rgba -c:v ffv1 -level 3 -g 1 \
    -slicecrc 1 -pix_fmt bgr0 "$work/floor.mkv")")
done
korvane_s=$(printf '%s\n' "${korvane_times[@]}" | median)
floor_s=$(printf '%s\n' "${floor_times[@]}" | median)
frame_ms=$("$frame_bench" --sizes 1920x1080 --depths 8 --looks defaults --runs 7 | awk '$1 == "defaults" { print $4 }')

awk -v k="$korvane_s" -v f="$floor_s" -v m="$frame_ms" -v n=$frames 'BEGIN {
  kf = k * 1000 / n; ff = f * 1000 / n
  printf "korvane render, clip to clip   %7.1f ms/frame  %5.1f fps\n", kf, 1000 / kf
  printf "ffmpeg alone (I/O floor)       %7.1f ms/frame  %5.1f fps\n", ff, 1000 / ff
  printf "effect in process (defaults)   %7.1f ms/frame  %5.1f fps\n", m, 1000 / m
  printf "video path over frame + floor  %+6.1f %%\n", (kf / (m + ff) - 1) * 100
}'
