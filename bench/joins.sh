#!/usr/bin/env bash
# Whether parts join to the whole render, for every gallery picture, a
# multipass export without feedback (Buffer A drawn from the music, the
# image a blur of it), the feedback trail example and an album of three
# songs: 20 s (the example song, or the album) at 160x90@30, lossless
# (--crf 0, Matroska), whole against 4 parts and the sound part joined in a
# shuffled order. For each: the decoded frames (framemd5) and the decoded
# sound identical or not, and for any frame that differs its PSNR (dB).
#
#   bench/joins.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-joins-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null
ffmpeg -v error -i song.wav -t 7 -af "volume=-12dB" -metadata title=Quiet one.flac
ffmpeg -v error -i song.wav -ss 7 -t 6 two.wav
ffmpeg -v error -i song.wav -ss 13 -t 7 -ar 44100 -metadata title=Last three.mp3
printf '%s\n' one.flac two.wav three.mp3 > album.m3u

mkdir blur
cat > blur/buffer-a.glsl <<'GLSL'
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    float level = texture(iChannel0, vec2(uv.x * 0.25, 0.25)).x;
    fragColor = vec4(vec3(step(uv.y, level)) * vec3(uv.x, 0.5, 1.0 - uv.x), 1.0);
}
GLSL
cat > blur/image.glsl <<'GLSL'
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec3 sum = vec3(0.0);
    for (int i = -2; i <= 2; ++i) {
        for (int j = -2; j <= 2; ++j) {
            sum += texture(iChannel0, (fragCoord + vec2(i, j) * 2.0) / iResolution.xy).rgb;
        }
    }
    fragColor = vec4(sum / 25.0, 1.0);
}
GLSL
printf 'buffer-a: 0=music\nimage: 0=buffer-a\n' > blur/channels.txt

common=(--size 160x90 --fps 30 --crf 0 --to 20 -q --overwrite)
check() {  # check NAME SONG OPTIONS...
  local name="$1" song="$2"
  shift 2
  "$studio" render "$song" whole.mkv "$@" "${common[@]}"
  for k in 1 2 3 4; do
    "$studio" render "$song" "part$k.mkv" --part "$k/4" "$@" "${common[@]}"
  done
  "$studio" render "$song" sound.mkv --part sound "$@" "${common[@]}"
  "$studio" join joined.mkv part3.mkv sound.mkv part1.mkv part4.mkv part2.mkv -q --overwrite
  local a b frames sound psnr
  a=$(ffmpeg -v error -i whole.mkv -map 0:v -f framemd5 - | grep -v '^#')
  b=$(ffmpeg -v error -i joined.mkv -map 0:v -f framemd5 - | grep -v '^#')
  frames=$(echo "$a" | wc -l)
  if [ "$a" = "$b" ]; then psnr="identical"; else
    psnr=$(ffmpeg -i whole.mkv -i joined.mkv -lavfi psnr -f null - 2>&1 | grep -o 'min:[0-9.inf]*' | tail -1)
  fi
  if [ "$(ffmpeg -v error -i whole.mkv -map 0:a -f s16le - | md5sum)" = \
       "$(ffmpeg -v error -i joined.mkv -map 0:a -f s16le - | md5sum)" ]; then sound="identical"; else sound="differs"; fi
  printf '| %s | %s | %s | %s |\n' "$name" "$frames" "$psnr" "$sound"
}
echo "| picture | frames | frames joined | sound joined |"
echo "|---|---|---|---|"
for picture in bars cover horizon plasma pulse ring scope spectrogram waterfall; do
  check "$picture" song.wav --picture "$picture"
done
check "multipass, no feedback (blur)" song.wav --shaders blur
check "feedback (trail example)" song.wav --shaders "$root/examples/shadertoy/trail"
check "album of three (scope, titles)" album.m3u --picture scope --title auto
