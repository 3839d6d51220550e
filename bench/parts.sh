#!/usr/bin/env bash
# A render split into parts, against the whole, in one run: a 4-minute song
# (the example song eight times) with PICTURE (default ring) at SIZE (default
# 640x360) @30:
#   - the whole render's wall and CPU time;
#   - 8 parts one after another: the sum of their CPU times ÷ the whole's
#     (what splitting costs), and the join's wall time ÷ the render's, both
#     ways: join encoding the song, and join copying the sound part
#     (--part sound, made on its own);
#   - the 8 parts and the sound part on this machine's two cores with GNU
#     parallel, then join;
#   - the speed-up predicted for 2, 4, 8 and 16 machines, each rendering one
#     part: the whole's time ÷ machines plus each part's own start-up (from
#     the measured sum of their wall times), plus sending the song and
#     returning the parts at 1 Gb/s, plus the copying join; the sound part
#     made meanwhile by the machine that joins (it waits for the parts).
#
#   bench/parts.sh [SIZE] [PICTURE]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
size="${1:-640x360}"
picture="${2:-ring}"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-parts-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" one.wav >/dev/null
ffmpeg -v error -stream_loop 7 -i one.wav -c copy song.wav
common=(--picture "$picture" --size "$size" --fps 30 -q --overwrite)

timed() {  # timed COMMAND... : prints "wall_s cpu_s"
  /usr/bin/time -f "%e %U %S" -o time.txt "$@" >/dev/null 2>&1
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' time.txt
}

whole=$(timed "$studio" render song.wav whole.mp4 "${common[@]}")
echo "whole render: ${whole% *} s wall, ${whole#* } s CPU"
: > parts.txt
for k in 1 2 3 4 5 6 7 8; do
  timed "$studio" render song.wav "part$k.mp4" --part "$k/8" "${common[@]}" >> parts.txt
done
encoding=$(timed "$studio" join joined.mp4 part*.mp4 -q --overwrite)
sound=$(timed "$studio" render song.wav sound.mp4 --part sound "${common[@]}")
join=$(timed "$studio" join joined.mp4 part*.mp4 sound.mp4 -q --overwrite)
awk -v w="$whole" -v e="$encoding" -v j="$join" -v s="$sound" '{ cpu += $2; if ($1 > slow) slow = $1 } END {
  split(w, x, " "); split(e, z, " "); split(j, y, " "); split(s, v, " ");
  printf "8 parts one after another: %.1f s CPU in all (%.3f of the whole), the slowest %.1f s\n", cpu, cpu / x[2], slow;
  printf "join encoding the song: %.2f s wall (%.2f%% of the whole render)\n", z[1], 100 * z[1] / x[1];
  printf "the sound part: %.2f s wall; join copying it: %.2f s wall (%.2f%% of the whole render)\n", v[1], y[1], 100 * y[1] / x[1];
  printf "all parts with the sound part: %.3f of the whole'\''s CPU\n", (cpu + v[2]) / x[2] }' parts.txt
rm -f part*.mp4 sound.mp4
local2=$(timed sh -c "parallel --will-cite -j 2 '$studio' render song.wav 'part{= s:/.*:: =}.mp4' --part {} ${common[*]} ::: 1/8 2/8 3/8 4/8 5/8 6/8 7/8 8/8 sound && '$studio' join joined.mp4 part[1-8].mp4 partsound.mp4 -q --overwrite")
awk -v w="$whole" -v l="$local2" 'BEGIN { split(w, x, " "); split(l, y, " ");
  printf "8 parts and the sound on two local workers, then join: %.1f s wall, %.2fx the whole render'\''s speed\n", y[1], x[1] / y[1] }'
song=$(stat -c %s song.wav)
partsBytes=$(du -cb part[1-8].mp4 | tail -1 | cut -f1)
awk -v w="$whole" -v j="$join" -v s="$sound" -v song="$song" -v parts="$partsBytes" '{ wall += $1 } END {
  split(w, x, " "); split(j, y, " "); split(s, v, " ");
  startup = (wall - x[1]) / 8;  # each part'\''s own time beyond its share
  for (m = 2; m <= 16; m *= 2) {
    rendered = x[1] / m + startup + song / 125e6 + parts / 125e6;
    t = (rendered > v[1] ? rendered : v[1]) + y[1];
    printf "predicted on %2d machines: %.1f s, %.2fx\n", m, t, x[1] / t }
}' parts.txt
