#!/usr/bin/env bash
# Whole `korvane render` commands against their floors, in one run, runs alternating:
#   clips: a 5-second 1920x1080 H.264 + AAC clip into .mp4, .mov, .webm and .mkv, and a 2-second
#          3840x2160 10-bit HEVC clip into .mov, each with the default look;
#   stills: a 1920x1080 PNG, JPEG and EXR.
# Two floors for each clip:
#   floor    ffmpeg alone, in one process: the same decode, the conversion to RGBA (RGBA64 for deep
#            sources) and back with the same matrix, range and rounding, the same encoder and
#            arguments, the same sound; plus the effect's in-process time for the frames
#            (korvane_bench_frame, defaults, at the clip's size and render depth).
#   +frei0r  the same ffmpeg command with the effect itself in its filter chain (frei0r=korvane),
#            so that it encodes the same sorted pictures korvane does (8-bit clips only: frei0r
#            is 8-bit).
# For stills the floor is oiiotool reading and writing the same file plus the effect's time.
# Wall and processor (user + system) seconds, medians of RUNS (default 3).
#
#   bench/video.sh [build folder]     (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(cd "${1:-build/release}" 2>/dev/null && pwd) || { echo "video.sh: ${1:-build/release} not found; build the release preset first" >&2; exit 2; }
runs=${RUNS:-3}
korvane=$build/bin/korvane
frame_bench=$build/bench/korvane_bench_frame
export FREI0R_PATH=$build/frei0r
for program in "$korvane" "$frame_bench" "$FREI0R_PATH/korvane.so"; do
  [ -e "$program" ] || { echo "video.sh: $program not found; build the release preset first" >&2; exit 2; }
done
for program in ffmpeg oiiotool; do
  command -v $program >/dev/null || { echo "video.sh: $program not found (scripts/install-deps)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The frame benchmark's picture, drifting sideways so that no two frames are the same.
"$frame_bench" --write-image "$work/picture.ppm" --size 1920x1080 >/dev/null
ffmpeg -nostdin -v error -loop 1 -framerate 30 -i "$work/picture.ppm" -f lavfi -i sine=frequency=440:duration=5 \
  -frames:v 150 -vf scroll=h=0.002,format=yuv420p -c:v libx264 -preset medium -crf 18 -c:a aac -shortest \
  -colorspace bt709 -color_primaries bt709 -color_trc bt709 "$work/hd.mp4"
ffmpeg -nostdin -v error -loop 1 -framerate 30 -i "$work/picture.ppm" -f lavfi -i sine=frequency=440:duration=2 \
  -frames:v 60 -vf scale=3840:2160,scroll=h=0.002,format=yuv420p10le -c:v libx265 -preset ultrafast \
  -x265-params log-level=none -c:a aac -shortest -colorspace bt709 -color_primaries bt709 -color_trc bt709 \
  "$work/uhd10.mp4"
ffmpeg -nostdin -v error -i "$work/picture.ppm" "$work/still.png"
ffmpeg -nostdin -v error -i "$work/picture.ppm" -q:v 2 "$work/still.jpg"
oiiotool "$work/still.png" -d float -o "$work/still.exr"

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Runs a command; prints "wall cpu" in seconds.
timed() {
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; exit 1; }
  awk '{ print $1, $2 + $3 }' "$work/time"
}
effect_ms() {  # size depth
  "$frame_bench" --sizes "$1" --depths "$2" --looks defaults --runs 5 | awk '$1 == "defaults" { print $4 }'
}

hd_ms=$(effect_ms 1920x1080 8)
uhd_ms=$(effect_ms 3840x2160 16)
hd_float_ms=$(effect_ms 1920x1080 32)
echo "effect in process: 1920x1080 8-bit ${hd_ms} ms, 3840x2160 16-bit ${uhd_ms} ms, 1920x1080 32-bit ${hd_float_ms} ms"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# One case: NAME INPUT FRAMES EFFECT_MS EXT CONVERSION ENCODER_ARGS AUDIO_ARGS
clip_case() {
  local name=$1 input=$2 frames=$3 ms=$4 ext=$5 convert=$6 encode=$7 audio=$8
  local k=() f=() b=() kc=() fc=() bc=() line
  for _ in $(seq "$runs"); do
    line=$(timed "$korvane" render "$input" -o "$work/out.$ext" -q); k+=("${line% *}"); kc+=("${line#* }")
    # shellcheck disable=SC2086
    line=$(timed ffmpeg -nostdin -v error -y -i "$input" -vf "$convert" $encode $audio "$work/floor.$ext")
    f+=("${line% *}"); fc+=("${line#* }")
    if [[ $convert == format=rgba,* ]]; then
      # shellcheck disable=SC2086
      line=$(timed ffmpeg -nostdin -v error -y -i "$input" -vf "format=rgba,frei0r=korvane,${convert#format=rgba,}" \
        $encode $audio "$work/frei0r.$ext")
      b+=("${line% *}"); bc+=("${line#* }")
    fi
  done
  local km fm bm kcm fcm bcm
  km=$(printf '%s\n' "${k[@]}" | median); fm=$(printf '%s\n' "${f[@]}" | median)
  kcm=$(printf '%s\n' "${kc[@]}" | median); fcm=$(printf '%s\n' "${fc[@]}" | median)
  bm=-; bcm=-
  if [ ${#b[@]} -gt 0 ]; then bm=$(printf '%s\n' "${b[@]}" | median); bcm=$(printf '%s\n' "${bc[@]}" | median); fi
  awk -v n="$name" -v k="$km" -v f="$fm" -v b="$bm" -v kc="$kcm" -v fc="$fcm" -v bc="$bcm" -v e="$(awk -v m="$ms" -v c="$frames" 'BEGIN { print m * c / 1000 }')" 'BEGIN {
    printf "%-22s korvane %6.2f s (cpu %6.2f) | floor %6.2f + effect %5.2f = %6.2f s: %5.2fx", n, k, kc, f, e, f + e, k / (f + e)
    if (b != "-") printf " | +frei0r %6.2f s (cpu %6.2f): %5.2fx, cpu above it %+5.1f %%", b, bc, k / b, (kc - bc) / (bc) * 100
    printf "\n"
  }'
}

to_rgb="format=rgba,scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd"
clip_case "H.264 1080p -> .mp4" "$work/hd.mp4" 150 "$hd_ms" mp4 "$to_rgb,format=yuv420p" \
  "-c:v libx264 -preset medium -crf 16" "-c:a copy"
clip_case "H.264 1080p -> .mov" "$work/hd.mp4" 150 "$hd_ms" mov "$to_rgb,format=yuv444p10le" \
  "-c:v prores_ks -profile:v 4444 -vendor apl0" "-c:a copy"
clip_case "H.264 1080p -> .webm" "$work/hd.mp4" 150 "$hd_ms" webm "$to_rgb,format=yuv420p" \
  "-c:v libvpx-vp9 -b:v 0 -crf 31 -row-mt 1" "-c:a libopus"
clip_case "H.264 1080p -> .mkv" "$work/hd.mp4" 150 "$hd_ms" mkv "format=rgba,format=bgr0" \
  "-c:v ffv1 -level 3 -g 1 -slicecrc 1" "-c:a copy"
clip_case "HEVC 10-bit 4K -> .mov" "$work/uhd10.mp4" 60 "$uhd_ms" mov \
  "format=rgba64le,scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd,format=yuv444p10le" \
  "-c:v prores_ks -profile:v 4444 -vendor apl0" "-c:a copy"

still_case() {
  local name=$1 input=$2 ms=$3 k=() o=() line km om
  for _ in $(seq "$runs"); do
    line=$(timed "$korvane" render "$input" -o "$work/out.${input##*.}" -q); k+=("${line% *}")
    line=$(timed oiiotool "$input" -o "$work/oiio.${input##*.}"); o+=("${line% *}")
  done
  km=$(printf '%s\n' "${k[@]}" | median); om=$(printf '%s\n' "${o[@]}" | median)
  awk -v n="$name" -v k="$km" -v o="$om" -v e="$ms" 'BEGIN {
    printf "%-22s korvane %6.3f s | oiiotool %6.3f + effect %6.3f = %6.3f s: %5.2fx\n", n, k, o, e / 1000, o + e / 1000, k / (o + e / 1000)
  }'
}
still_case "PNG 1080p" "$work/still.png" "$hd_ms"
still_case "JPEG 1080p" "$work/still.jpg" "$hd_ms"
still_case "EXR 1080p (float)" "$work/still.exr" "$hd_float_ms"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
