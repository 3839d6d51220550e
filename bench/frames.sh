#!/usr/bin/env bash
# Frame intervals of the unchanged program: runs build/vrax with the example
# song, notes the time of every buffer swap (LD_PRELOAD shim), closes the
# window after FRAMES frames past a 30-frame warm-up and prints the median,
# 95th percentile and worst interval.
#
#   bench/frames.sh [FRAMES] [shipped|flat]
#     shipped  the shader pair in Shaders/ (default)
#     flat     a one-colour pair: the loop, spectrum and upload without the picture's cost
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi
frames="${1:-300}"
pair="${2:-shipped}"
cmake --build "$root/build" --target vrax swapTimer wmctl makeExample -j2 >/dev/null

work=$(mktemp -d /tmp/vrax-frames-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Shaders"
if [ -f "$root/example.wav" ]; then cp "$root/example.wav" "$work/"; else "$root/build/makeExample" "$work/example.wav" >/dev/null; fi
if [ "$pair" = flat ]; then
  cat > "$work/Shaders/Quad.vert.glsl" <<'GLSL'
#version 450 core
layout(location = 0) in vec3 aPos;
void main() { gl_Position = vec4(aPos, 1.0); }
GLSL
  cat > "$work/Shaders/Quad.frag.glsl" <<'GLSL'
#version 450 core
out vec4 colour;
void main() { colour = vec4(0.1, 0.1, 0.2, 1.0); }
GLSL
else
  cp "$root/Shaders/"*.glsl "$work/Shaders/"
fi

measure() {
  cd "$work"
  ALSOFT_DRIVERS="${ALSOFT_DRIVERS:-null}" SWAP_TIMES_FILE="$work/swaps.txt" \
    LD_PRELOAD="$root/build/bench/libswapTimer.so" "$root/build/vrax" >"$work/out.txt" 2>"$work/err.txt" &
  local pid=$!
  "$root/build/wmctl" wait VRAX 30 >/dev/null
  sleep "$(awk -v f="$frames" 'BEGIN { print (f + 30) / 20 + 2 }')"
  "$root/build/wmctl" close VRAX
  wait "$pid"
}

measure

errors=$(grep -c "OpenGL error" "$work/err.txt" || true)
# Intervals in ms of frames 32 … 31 + FRAMES, sorted.
awk -v frames="$frames" 'NR > 31 && NR <= 32 + frames { if (NR > 32) printf "%.3f\n", ($1 - last) / 1e6; last = $1 }' \
  "$work/swaps.txt" | sort -n >"$work/intervals.txt"
n=$(wc -l <"$work/intervals.txt")
if [ "$n" -lt "$frames" ]; then
  echo "only $n intervals recorded; the program said:" >&2
  cat "$work/err.txt" >&2
  exit 1
fi
awk -v pair="$pair" -v errors="$errors" '{ d[NR] = $1 } END {
  n = NR
  printf "%s shaders, %d intervals: median %.2f ms, p95 %.2f ms, worst %.2f ms, best %.2f ms (%.1f fps at the median); GL error lines: %d\n",
    pair, n, d[int((n + 1) / 2)], d[int(n * 0.95)], d[n], d[1], 1000 / d[int((n + 1) / 2)], errors
}' "$work/intervals.txt"
