# Sourced by the capture benchmarks: a private PulseAudio server with a null
# sink (what is played into it comes out of its monitor, which the studio
# captures), a pair that flashes white while 1 kHz is loud, and a 100 ms
# 1 kHz click to play into the sink.
#
#   private_pulse WORK    starts the server under WORK (its runtime folder
#                         there); sets $pulse to its pid. The caller's EXIT
#                         trap kills it.
#   write_flash_pair DIR  Quad.vert.glsl and Quad.frag.glsl of the flash pair.
#   write_click FILE      the click, 16-bit stereo at 44.1 kHz.
monitor="Monitor of Null Output"

private_pulse() {
  export XDG_RUNTIME_DIR="$1/runtime"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --load=module-null-sink --load=module-native-protocol-unix \
    >/dev/null 2>&1 &
  pulse=$!
  for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
}

write_flash_pair() {
  mkdir -p "$1"
  cat > "$1/Quad.vert.glsl" <<'GLSL'
#version 450 core
layout(location = 0) in vec3 aPos;
void main() { gl_Position = vec4(aPos, 1.0); }
GLSL
  cat > "$1/Quad.frag.glsl" <<'GLSL'
#version 450 core
out vec4 colour;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() {
    float loudest = -100.0;
    for (int k = 170; k < 200; ++k) loudest = max(loudest, spectrum[k]);
    colour = vec4(vec3(loudest > -3.0 ? 1.0 : 0.0), 1.0);
}
GLSL
}

write_click() {
  python3 - "$1" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1], "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
w.writeframes(b"".join(struct.pack("<hh", v, v) for v in
    (int(20000 * math.sin(2 * math.pi * 1000 * i / 44100)) for i in range(4410))))
w.close()
PY
}
