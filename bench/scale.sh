#!/usr/bin/env bash
# A picture shaded at a smaller scale against itself at full scale, at
# 1920x1080@30 over SECONDS (default 10) of the example song: PSNR of every
# frame (ffmpeg's psnr filter over lossless renders of both; the mean and
# the worst frame), and each render's wall time as × real time, side by
# side in one run (median of three).
#
# Also the frame halfway through from each, side by side (full on the left),
# as STILLS/PICTURE.png when STILLS names a folder, and their mean
# difference (0-255, over every channel of every pixel at 1080p).
#
#   bench/scale.sh PICTURE SCALE [SECONDS [RENDER OPTION...]]
#     e.g. bench/scale.sh pulse 0.5; bench/scale.sh cover 0.5 10 --image "$PWD/art.png"
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
picture="${1:?a gallery picture}"
scale="${2:?a scale, 0.1 to 1}"
seconds="${3:-10}"
shift $(($# < 3 ? $# : 3))
extra=("$@")  # given to every render: an --image, a --title
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-scale-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null

# The picture as shipped but for its draw.txt: none (full scale), or one
# line of the scale asked for. A layered picture is measured as it ships.
for kind in full scaled; do
  mkdir -p "$kind"
  cp -r "$root/pictures/$picture" "$kind/$picture"
done
if [ -f "$root/pictures/$picture/draw.txt" ] && grep -qvE '^\s*(#|scale|$)' "$root/pictures/$picture/draw.txt"; then
  sed -i 's/^\s*scale.*$//' "full/$picture/draw.txt"
else
  rm -f "full/$picture/draw.txt"
  echo "scale $scale" > "scaled/$picture/draw.txt"
fi

render() {  # render KIND OUT [extra]: the picture from gallery KIND
  local kind="$1" out="$2"
  shift 2
  VRAX_PICTURES="$work/$kind" "$studio" render song.wav "$out" --picture "$picture" --to "$seconds" \
    --size 1920x1080 --fps 30 --overwrite -q "${extra[@]}" "$@"
}
for kind in full scaled; do
  render "$kind" "$kind.mkv" --crf 0
done
ffmpeg -v error -i scaled.mkv -i full.mkv -lavfi "psnr=stats_file=psnr.txt" -f null -
awk '{ for (i = 1; i <= NF; ++i) if ($i ~ /^psnr_avg:/) { split($i, v, ":"); x = v[2] == "inf" ? 99 : v[2];
       s += x; n++; if (n == 1 || x < low) { low = x; at = n - 1 } } }
     END { printf "%s at scale %s: PSNR mean %.1f dB, worst frame %.1f dB (frame %d of %d)\n", "'"$picture"'",
       "'"$scale"'", s / n, low, at, n }' psnr.txt

half=$(echo "$seconds / 2" | bc -l)
for kind in full scaled; do
  ffmpeg -v error -ss "$half" -i "$kind.mkv" -frames:v 1 -f rawvideo -pix_fmt rgb24 "$kind.rgb"
done
python3 - full.rgb scaled.rgb <<'PY'
import sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
print("  the frame halfway: mean difference %.3f of 255" % (sum(abs(x - y) for x, y in zip(a, b)) / len(a)))
PY
if [ -n "${STILLS:-}" ]; then
  mkdir -p "$STILLS"
  ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s 1920x1080 -i full.rgb -f rawvideo -pix_fmt rgb24 -s 1920x1080 \
    -i scaled.rgb -lavfi "hstack,scale=1280:360" -frames:v 1 "$STILLS/$picture.png"
fi

median() { sort -n | sed -n 2p; }
for run in 1 2 3; do
  for kind in full scaled; do
    start=$(date +%s.%N)
    render "$kind" "$kind.mp4"
    echo "$(date +%s.%N) - $start" | bc >> "$kind.txt"
  done
done
for kind in full scaled; do
  t=$(median < "$kind.txt")
  printf '  %-7s %6.2f s  %5.2fx real time\n' "$kind" "$t" "$(echo "$seconds / $t" | bc -l)"
done
