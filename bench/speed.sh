#!/usr/bin/env bash
# Where a frame's time goes, this build against an earlier one, in one run:
#   1. every gallery picture, 1920x1080@30, 5 s of the example song: wall
#      time, median of three, each build's runs alternated; × real time,
#      the ratio of the two, and this build's peak memory;
#   2. this build's still 90 s into a 120 s song at 1920x1080, median of
#      three, and its ratio to ring's;
#   3. an unused 8000x8000 --image with bars (2 s at 1080p30): time and peak
#      memory of each build, and of this build without it;
#   4. a uniform-only pair (no texture, no sin) at 1080p30 for 10 s: this
#      build's CPU time against x264 encoding the same frames alone, with
#      the same settings (veryfast, CRF 18), from raw frames;
#   5. the kernel's share of clearing fresh pages in a 1080p ring render.
#
#   bench/speed.sh OTHER_BUILD_DIR   (an earlier commit's build, e.g. from
#                                     git worktree add ../base COMMIT)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
other="${1:?an earlier build to compare with}"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
new="$root/build/vrax-studio"
old="$other/vrax-studio"
work=$(mktemp -d /tmp/vrax-speed-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
export ALSOFT_DRIVERS=null
"$root/build/makeExample" song.wav >/dev/null
ffmpeg -v error -stream_loop 3 -i song.wav -t 120 -c copy long.wav

timed() {  # timed COMMAND... : prints "wall_s peak_MB cpu_s"
  /usr/bin/time -f "%e %M %U %S" -o time.txt "$@" >/dev/null 2>&1
  awk '{ printf "%s %d %.2f\n", $1, $2 / 1024, $3 + $4 }' time.txt
}
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

echo "== 1. 1920x1080@30, 5 s, median of three (earlier build | this build)"
printf "%-12s %9s %9s %7s %9s %6s\n" picture earlier now ratio "× real" peak
for picture in $("$new" pictures | awk 'NF == 0 { exit } { print $1 }'); do
  : > old.txt; : > new.txt
  for run in 1 2 3; do
    timed "$old" render song.wav o.mp4 --picture "$picture" --from 5 --to 10 -q --overwrite >> old.txt
    timed "$new" render song.wav n.mp4 --picture "$picture" --from 5 --to 10 -q --overwrite >> new.txt
  done
  o=$(cut -d' ' -f1 old.txt | median)
  n=$(cut -d' ' -f1 new.txt | median)
  peak=$(cut -d' ' -f2 new.txt | median)
  awk -v p="$picture" -v o="$o" -v n="$n" -v m="$peak" \
    'BEGIN { printf "%-12s %8.2fs %8.2fs %7.2f %8.2fx %4d MB\n", p, o, n, n / o, 5 / n, m }'
done

echo "== 2. a still 90 s into a 120 s song, 1920x1080, median of three"
: > stills.txt
for picture in $("$new" pictures | awk 'NF == 0 { exit } { print $1 }'); do
  : > still.txt
  for run in 1 2 3; do
    timed "$new" render long.wav still.png --picture "$picture" --from 90 -q --overwrite >> still.txt
  done
  echo "$picture $(cut -d' ' -f1 still.txt | median)" >> stills.txt
done
ring=$(awk '$1 == "ring" { print $2 }' stills.txt)
awk -v r="$ring" '{ printf "  %-12s %5.2f s  %.2fx ring'\''s\n", $1, $2, $2 / r }' stills.txt

echo "== 3. an unused 8000x8000 --image with bars, 2 s at 1080p30 (wall s, peak MB)"
ffmpeg -v error -f lavfi -i testsrc2=size=8000x8000 -frames:v 1 big.png
echo "  earlier, with it: $(timed "$old" render song.wav b.mp4 --picture bars --from 5 --to 7 --image big.png -q --overwrite)"
echo "  now, with it:     $(timed "$new" render song.wav b.mp4 --picture bars --from 5 --to 7 --image big.png -q --overwrite)"
echo "  now, without it:  $(timed "$new" render song.wav b.mp4 --picture bars --from 5 --to 7 -q --overwrite)"

echo "== 4. a uniform-only pair against x264 alone, 1080p30, 10 s (CPU s)"
mkdir -p Shaders
printf '#version 450 core\nlayout(location = 0) in vec3 aPos;\nout vec2 uv;\nvoid main() { uv = aPos.xy * 0.5 + 0.5; gl_Position = vec4(aPos, 1.0); }\n' \
  > Shaders/Quad.vert.glsl
printf '#version 450 core\nin vec2 uv;\nout vec4 colour;\nuniform float bass;\nuniform float itime;\nvoid main() { colour = vec4(uv * (0.5 + 0.5 * bass), fract(itime * 0.1), 1.0); }\n' \
  > Shaders/Quad.frag.glsl
pair=$(timed "$new" render song.wav pair.mp4 --shaders Shaders --to 10 -q --overwrite)
"$new" render song.wav pair.mkv --shaders Shaders --to 10 --crf 0 -q --overwrite
ffmpeg -v error -i pair.mkv -f rawvideo -pix_fmt yuv420p frames.yuv
alone=$(timed ffmpeg -v error -f rawvideo -pix_fmt yuv420p -s 1920x1080 -r 30 -i frames.yuv -c:v libx264 \
  -preset veryfast -crf 18 -y alone.mp4)
awk -v a="$pair" -v b="$alone" 'BEGIN { split(a, x, " "); split(b, y, " ");
  printf "  the pair, rendered: %.1f s CPU; x264 alone: %.1f s CPU; ratio %.2f\n", x[3], y[3], x[3] / y[3] }'

echo "== 5. the kernel clearing fresh pages, a 1080p ring render of 5 s"
perf record -q -o perf.data "$new" render song.wav r.mp4 --picture ring --from 5 --to 10 -q --overwrite >/dev/null 2>&1
perf report -i perf.data --no-children --sort sym 2>/dev/null | awk '/clear_page/ { print "  " $1 " of samples in " $NF }'
