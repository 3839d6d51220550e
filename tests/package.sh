#!/usr/bin/env bash
# The Debian package end to end: build it, install it into this machine,
# make a video from an empty folder with no display using only the installed
# program and shaders, find the man page, remove it and check nothing of it
# is left. Needs root (dpkg); skipped (77) otherwise.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ "$(id -u)" -eq 0 ] || { echo "not root: skipped"; exit 77; }

bash "$root/scripts/package"
deb=$(ls -t "$root"/out/vrax_*_amd64.deb | head -1)
work=$(mktemp -d /tmp/vrax-package-XXXXXX)
cleanup() {
  dpkg -P vrax >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

dpkg -i "$deb" >/dev/null
# (an if, not `[ -f ] &&`: the loop's last test must not fail the pipeline)
files=$(dpkg -L vrax | while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done)
for f in /usr/bin/vrax /usr/bin/vrax-studio /usr/share/vrax/Shaders/Quad.frag.glsl \
  /usr/share/applications/vrax-studio.desktop /usr/share/doc/vrax/copyright; do
  echo "$files" | grep -qx "$f" || fail "$f is not in the package"
done

# A 2-second song, rendered from an empty folder with nothing but the package.
cd "$work"
"$root/build/makeExample" song.wav >/dev/null
ffmpeg -v error -i song.wav -t 2 -y short.flac
rm song.wav
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/vrax-studio render short.flac out.mp4 -q || fail "render exited $?"
video=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=codec_name,width,height,nb_read_frames \
  -of csv=p=0 out.mp4)
sound=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,duration -of csv=p=0 out.mp4)
[ "$video" = "h264,1920,1080,60" ] || fail "unexpected picture stream: $video"
[ "$sound" = "aac,2.000000" ] || fail "unexpected sound stream: $sound"
# The gallery, found in the share folder: listed, and a picture in each form renders.
listed=$(/usr/bin/vrax-studio pictures) || fail "pictures exited $?"
grep -q '^waterfall ' <<<"$listed" || fail "the installed gallery is not listed"
# Every file of every picture is installed: a picture's channels.txt or
# settings.txt left behind would draw it wrongly.
while read -r file; do
  [ -f "/usr/share/vrax/pictures/$file" ] || fail "the package lacks pictures/$file"
done < <(cd "$root/pictures" && find . -type f)
for picture in ring horizon; do
  env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/vrax-studio render short.flac "$picture.png" --picture "$picture" \
    --size 160x120 -q || fail "the installed picture $picture does not render"
done
# The installed example that writes its own music, named by `pictures`, renders its soundtrack.
example=$(/usr/bin/vrax-studio pictures | sed -n 's/.*--shaders \(.*\)$/\1/p')
[ "$example" = /usr/share/vrax/examples/shadertoy/beat ] || fail "pictures names the example as '$example'"
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CACHE_HOME="$work/cache" /usr/bin/vrax-studio render beat.wav --shaders "$example" \
  --length 1 -q || fail "the installed Sound pass example does not render"
[ "$(ffprobe -v error -show_entries stream=codec_name,sample_rate,duration -of csv=p=0 beat.wav)" = "pcm_f32le,44100,1.000000" ] ||
  fail "the example's soundtrack is not a second of 44.1 kHz floats"
# The page is installed and served by the installed program.
/usr/bin/vrax-studio serve "$work" --port 0 >"$work/serve.out" 2>/dev/null &
served=$!
for _ in $(seq 100); do grep -q token= "$work/serve.out" && break; sleep 0.1; done
address=$(head -1 "$work/serve.out")
# (read whole, then searched: grep -q leaving early would fail curl's write under pipefail)
page=$(curl -sf "$address") || fail "the installed page is not served at '$address'"
grep -q "<title>VRAX studio</title>" <<<"$page" || fail "the page served at '$address' is not the studio's"
script=$(curl -sf "${address%%/\?*}/page/app.js?token=${address##*token=}") || fail "the installed page's script is not served"
grep -q "EventSource" <<<"$script" || fail "the installed page lacks its script"
kill -INT "$served"
wait "$served" || [ $? -eq 130 ] || fail "serve did not leave with 130 when interrupted"
help=$(/usr/bin/vrax-studio --help)
grep -q "installed pair (here: /usr/share/vrax/Shaders)" <<<"$help" ||
  fail "--help does not name the installed shaders"

man -w vrax-studio | grep -q '^/usr/share/man/man1/vrax-studio.1.gz$' || fail "man -w vrax-studio: $(man -w vrax-studio 2>&1)"
man -w vrax >/dev/null || fail "no man page for vrax"

dpkg -P vrax >/dev/null
for f in $files; do
  [ ! -e "$f" ] || fail "$f is left after removal"
done
[ ! -e /usr/share/vrax ] || fail "/usr/share/vrax is left after removal"
echo "package: installed, rendered, found its man page and removed cleanly"
