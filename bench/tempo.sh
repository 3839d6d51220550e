#!/bin/bash
# The beat found in real music: the Neverball songs (Debian's neverball-common,
# installed here for the measurement only, never by the product). For each
# song, the tempo the studio finds, its spread over the song (the 10th to
# 90th percentile of the tempo at each beat), the first downbeat, and how
# long tracking the whole song takes.
#   bench/tempo.sh
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
vrax_ensure_packages
if ! dpkg-query -W -f='${Status}' neverball-common 2>/dev/null | grep -q "install ok installed"; then
  apt-get install -y -qq neverball-common >/dev/null
fi
vrax_build build >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-28s %8s  %s\n' "song" "seconds" "what --verbose says"
for song in /usr/share/games/neverball/bgm/*.ogg; do
  start=$(date +%s.%N)
  line=$("$VRAX_ROOT/build/vrax-studio" render "$song" "$work/still.png" --picture metronome --size 64x36 \
    --from 1 --level off --verbose --overwrite 2>&1 | grep -E "the beat of|no steady beat" || true)
  end=$(date +%s.%N)
  printf '%-28s %8.2f  %s\n' "$(basename "$song")" "$(echo "$end - $start" | bc)" "${line#vrax-studio: }"
done
