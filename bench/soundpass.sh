#!/usr/bin/env bash
# What a Sound pass costs. First the seconds spent drawing a minute of sound
# (GL time and read-back, as `render --verbose` reports it), median of three
# drawings each, for the project's example and for every .glsl in SAMPLE (a
# folder of published sound shaders kept outside the repository; each file
# one shader's Sound pass, or a single file with mainSound): the median and
# the worst over the sample, and which did not build and why. Then what the
# Sound pass adds to a 1080p30 render of 20 s: the example drawn afresh as
# the song, against the same picture over a WAV of the same sound; median
# wall time of three renders each, side by side.
#
#   bench/soundpass.sh [SAMPLE]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sample="${1:-}"
cmake --build "$root/build" --target vrax-studio -j2 >/dev/null
studio="$root/build/vrax-studio"
example="$root/examples/shadertoy/beat"
work=$(mktemp -d /tmp/vrax-soundpass-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
export ALSOFT_DRIVERS=null

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# Seconds to draw 60 s of the shader's sound, each drawing into an empty cache.
drawSeconds() {
  for run in 1 2 3; do
    rm -rf cache
    XDG_CACHE_HOME="$work/cache" "$studio" render minute.wav --shaders "$1" --length 60 --overwrite --verbose 2>&1 |
      sed -n 's/.*drew 60.0 s of sound in \([0-9.]*\) s.*/\1/p'
  done | median
}

echo "seconds drawing one minute of sound (median of 3):"
printf '  %-28s %s\n' "examples/shadertoy/beat" "$(drawSeconds "$example")"
if [ -n "$sample" ]; then
  : > drawn.txt
  for shader in "$sample"/*.glsl; do
    name=$(basename "$shader")
    if why=$(XDG_CACHE_HOME="$work/cache" "$studio" render check.wav --shaders "$shader" --length 1 --overwrite 2>&1); then
      seconds=$(drawSeconds "$shader")
      echo "$seconds" >> drawn.txt
      printf '  %-28s %s\n' "$name" "$seconds"
    else
      printf '  %-28s does not render: %s\n' "$name" "$(echo "$why" | grep -m1 'vrax-studio:' | cut -c1-150)"
    fi
  done
  if [ -s drawn.txt ]; then
    echo "  sample: $(wc -l < drawn.txt) of $(ls "$sample"/*.glsl | wc -l) render with sound;" \
         "median $(median < drawn.txt) s, worst $(sort -n drawn.txt | tail -1) s a minute"
  fi
fi

# The same 20 s at 1080p30: the Sound pass drawn afresh, against its sound as a file.
XDG_CACHE_HOME="$work/cache" "$studio" render song.wav --shaders "$example" --length 20 --quiet
timed() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
for run in 1 2 3; do
  rm -rf cache
  timed env XDG_CACHE_HOME="$work/cache" "$studio" render pass.mp4 --shaders "$example" --length 20 \
    --overwrite --quiet >> pass.txt
  timed env XDG_CACHE_HOME="$work/cache" "$studio" render song.wav file.mp4 --shaders "$example" \
    --overwrite --quiet >> file.txt
done
pass=$(median < pass.txt)
file=$(median < file.txt)
echo "1080p30, 20 s of examples/shadertoy/beat (median of 3, wall seconds):"
echo "  Sound pass as the song: $pass"
echo "  its sound as a WAV:     $file"
echo "  added by the Sound pass: $(echo "$pass - $file" | bc) s ($(echo "scale=3; $pass / $file" | bc)x)"
