#!/usr/bin/env bash
# Soak: runs the unchanged program with the example song for a long time,
# resizing the window every few seconds (down to 1×1, the smallest X allows,
# and hidden and shown again as minimising does), sampling its resident
# memory every second and counting GL error lines. Prints memory growth after
# the first minute, GL error lines and the frame interval median and worst.
#
#   bench/soak.sh [SECONDS]      default 600
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi
seconds="${1:-600}"
cmake --build "$root/build" --target vrax swapTimer wmctl makeExample -j2 >/dev/null
work=$(mktemp -d /tmp/vrax-soak-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Shaders"
cp "$root/Shaders/"*.glsl "$work/Shaders/"
if [ -f "$root/example.wav" ]; then cp "$root/example.wav" "$work/"; else "$root/build/makeExample" "$work/example.wav" >/dev/null; fi

cd "$work"
ALSOFT_DRIVERS="${ALSOFT_DRIVERS:-null}" SWAP_TIMES_FILE="$work/swaps.txt" LD_PRELOAD="$root/build/bench/libswapTimer.so" \
  "$root/build/vrax" >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
"$root/build/wmctl" wait VRAX 30 >/dev/null
sizes=("1000 500" "1 1" "800 600" "640 960" "hide" "show" "1280 720" "333 777" "800 600")
start=$(date +%s)
step=0
: >"$work/rss.txt"
while :; do
  now=$(date +%s)
  elapsed=$((now - start))
  [ "$elapsed" -ge "$seconds" ] && break
  kill -0 "$pid" 2>/dev/null || { echo "soak: VRAX ended after ${elapsed} s" >&2; cat "$work/err.txt" >&2; exit 1; }
  echo "$elapsed $(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")" >>"$work/rss.txt"
  if [ $((elapsed % 4)) -eq 0 ]; then
    size=${sizes[$((step % ${#sizes[@]}))]}
    case "$size" in
      hide | show) "$root/build/wmctl" "$size" VRAX >/dev/null 2>&1 || true ;;
      *) "$root/build/wmctl" resize VRAX $size >/dev/null 2>&1 || true ;;
    esac
    step=$((step + 1))
  fi
  sleep 1
done
"$root/build/wmctl" show VRAX >/dev/null 2>&1 || true
"$root/build/wmctl" close VRAX >/dev/null 2>&1 || true
status=0
wait "$pid" || status=$?

errors=$(grep -c "OpenGL error" "$work/err.txt" || true)
awk 'NR > 1 { printf "%.3f\n", ($1 - last) / 1e6 } { last = $1 }' "$work/swaps.txt" | sort -n >"$work/intervals.txt"
n=$(wc -l <"$work/intervals.txt")
awk -v status="$status" -v errors="$errors" -v n="$n" -v resizes="$step" '
  FNR == NR { rss[FNR] = $2; t[FNR] = $1; count = FNR; next }
  { d[FNR] = $1 }
  END {
    # Memory is compared from the first minute on (half the run if shorter).
    base = t[count] >= 120 ? 60 : int(t[count] / 2)
    for (i = 1; i < count && t[i] < base; ++i) {}
    printf "ran %d s, exit status %d, %d resizes, %d frames\n", t[count], status, resizes, n + 1
    printf "resident memory: %d KiB at %d s, %d KiB at the end, growth %+d KiB\n", rss[i], t[i], rss[count], rss[count] - rss[i]
    printf "GL error lines: %d\n", errors
    printf "frame interval: median %.2f ms, p99 %.2f ms, worst %.2f ms\n", d[int((n + 1) / 2)], d[int(n * 0.99)], d[n]
  }' "$work/rss.txt" "$work/intervals.txt"
