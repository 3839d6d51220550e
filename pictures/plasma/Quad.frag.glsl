#version 450 core
// Plasma: a full-frame field of flowing colour. The bass swells the waves,
// the mids speed them up (through midTime, a clock that runs faster with
// them, so the flow never jumps) and the treble sharpens their edges.
in vec2 uv;
flat in vec2 drift;  // the rings' drifting centre, from the vertex stage
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform float bass;
uniform float mid;
uniform float treble;
uniform float loudness;  // level, levelled: the same look at any master's loudness
uniform float midTime;
// Settings (settings.txt; --set tint=#rrggbb).
uniform vec3 tint = vec3(1.0, 1.0, 1.0);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

void main() {
    // The swell and the sharpening are gentle: the whole frame moves with
    // them, and a kick or a hat must not turn it into a flash.
    vec2 p = (uv - 0.5) * vec2(1.0 / aspect, 1.0) * (3.0 + 0.9 * bass);
    float t = 0.4 * midTime;  // 0.4 a second in silence, 1.2 at full mids
    float v = sin(p.x * 1.7 + t) + sin(p.y * 2.3 - t * 1.3) + sin((p.x + p.y) * 1.1 + t * 0.7) +
              sin(length(p + drift) * 3.0);
    v = v * 0.25;
    float sharp = 1.0 + 2.5 * treble;
    float band = 0.5 + 0.5 * sin(v * 3.14159 * sharp);
    vec3 colour = tint * (0.5 + 0.5 * cos(6.2831 * (vec3(0.0, 0.15, 0.3) + v * 0.6 + itime * 0.02)));
    colour *= 0.35 + 0.65 * band;
    colour *= 0.75 + 0.4 * loudness;
    FragColor = vec4(colour, 1.0);
}
