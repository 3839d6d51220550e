#!/usr/bin/env bash
# What a full-screen pass costs on this GL driver, whatever it draws: a
# Shadertoy export whose image reads 0 to 3 buffers, each buffer one
# constant colour, rendered 10 s at 800x600@60 (600 frames, x264 as usual),
# median of three: the time of each, and per extra pass the ms a frame.
# Then where an extra pass's time goes: perf's share of samples by symbol
# in a render with 3 buffers, against one with none.
#
#   bench/passcost.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-passes-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null

letters=(a b c)
for n in 0 1 2 3; do
  mkdir "p$n"
  channels=""
  sum="vec3 c = vec3(uv, 0.5);"
  for ((i = 0; i < n; ++i)); do
    l=${letters[$i]}
    printf 'void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = vec4(0.1 * %d.0, 0.2, 0.3, 1.0); }\n' \
      "$((i + 1))" > "p$n/buffer-$l.glsl"
    channels="$channels $i=buffer-$l"
    sum="$sum c += texelFetch(iChannel$i, ivec2(fragCoord), 0).rgb;"
  done
  printf 'void mainImage(out vec4 fragColor, in vec2 fragCoord) { vec2 uv = fragCoord / iResolution.xy; %s fragColor = vec4(c, 1.0); }\n' \
    "$sum" > "p$n/image.glsl"
  if [ "$n" -gt 0 ]; then echo "image:$channels" > "p$n/channels.txt"; fi
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A took
for n in 0 1 2 3; do
  for run in 1 2 3; do
    /usr/bin/time -f "%e" -o t.txt "$studio" render song.wav out.mkv --shaders "p$n" --size 800x600 --fps 60 --to 10 \
      -q --overwrite
    cat t.txt
  done > "times$n.txt"
  took[$n]=$(median < "times$n.txt")
done
echo "| buffers | render, s (median of 3) | ms a frame more than none | ms a frame per pass |"
echo "|---|---|---|---|"
for n in 0 1 2 3; do
  awk -v n="$n" -v t="${took[$n]}" -v z="${took[0]}" 'BEGIN {
    extra = (t - z) * 1000 / 600;
    printf "| %d | %.2f | %.2f | %s |\n", n, t, extra, (n > 0 ? sprintf("%.2f", extra / n) : "") }'
done

if command -v perf >/dev/null; then
  for n in 0 3; do
    perf record -q -o "perf$n.data" -- "$studio" render song.wav out.mkv --shaders "p$n" --size 800x600 --fps 60 \
      --to 10 -q --overwrite >/dev/null 2>&1
    echo "perf, $n buffers: the top libraries and symbols by share of samples"
    perf report -i "perf$n.data" --no-children --sort dso --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' | head -8 || true
    perf report -i "perf$n.data" --no-children --sort dso,symbol --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' |
      cut -c1-110 | head -14 || true
  done
fi
