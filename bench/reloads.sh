#!/usr/bin/env bash
# play's memory over 50 reloads of a Shadertoy folder whose channel names a
# different 1024x1024 image each time (ten files in turn), in one run for
# each build given: resident memory after the first reload and after every
# tenth. A build that lets go of the files a reload no longer reads stays
# flat; one that keeps them grows by each new file's texture.
#
#   bench/reloads.sh [BUILD_DIR ...]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=("$root/build")
work=$(mktemp -d /tmp/vrax-reloads-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
"$root/build/makeExample" song.wav >/dev/null
for i in $(seq 0 9); do
  ffmpeg -v error -f lavfi -i "testsrc2=size=1024x1024" -vf "hue=h=$((i * 36))" -frames:v 1 "photo$i.png"
done
mkdir toy
cp photo*.png toy/
printf 'void mainImage(out vec4 c, in vec2 f) { c = texture(iChannel0, f / iResolution.xy); }\n' > toy/image.glsl
rss() { awk '/VmRSS/ { print int($2 / 1024) }' "/proc/$1/status"; }
for build in "${builds[@]}"; do
  echo "image: 0=photo0.png" > toy/channels.txt
  ALSOFT_DRIVERS=null "$build/vrax-studio" play song.wav --shaders toy >/dev/null 2>&1 &
  pid=$!
  sleep 3
  line="$(basename "$(dirname "$build")")/$(basename "$build"):"
  for n in $(seq 1 50); do
    echo "image: 0=photo$((n % 10)).png" > toy/channels.txt.new
    mv toy/channels.txt.new toy/channels.txt
    sleep 0.6
    if [ "$n" = 1 ] || [ $((n % 10)) = 0 ]; then
      line="$line  after $n: $(rss $pid) MB"
    fi
  done
  echo "$line"
  kill -INT $pid
  wait $pid || true
done
