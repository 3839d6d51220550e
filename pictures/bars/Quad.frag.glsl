#version 450 core
// Bars: the 64 bands as mirrored bars rising from a centre line, with peak
// caps that hold the highest level and fall back slowly. The caps live in
// the alpha channel of the previous frame (one value per bar), so they need
// no state of their own; the video and PNG writers ignore alpha.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float bands[64];
uniform float bass;
uniform float delta;
// Settings (settings.txt; --set NAME=#rrggbb).
uniform vec3 lowColour = vec3(0.10, 0.75, 0.95);
uniform vec3 highColour = vec3(0.95, 0.25, 0.55);
uniform vec3 glowColour = vec3(0.2, 0.4, 0.9);
uniform sampler2D previous;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

const int BARS = 48;

void main() {
    // Bars over the bands 4..51 (about 50 Hz to 8 kHz), where music lives.
    float column = uv.x * float(BARS);
    int bar = int(column);
    float within = fract(column);
    float level = bands[4 + bar];
    level = clamp((level - 0.25) / 0.7, 0.0, 1.0);

    // The cap of this bar, as left in the last frame's alpha, falls by a
    // third of the height a second.
    float cap = texture(previous, vec2((float(bar) + 0.5) / float(BARS), 0.5)).a;
    cap = max(level, cap - 0.36 * delta);

    float y = abs(uv.y - 0.5) * 2.0;  // 0 at the centre line, 1 at the edges
    bool gap = within < 0.12 || within > 0.88;
    vec3 low = lowColour;
    vec3 high = highColour;
    // The backdrop drifts slowly, so a quiet passage is calm but alive.
    vec3 colour = vec3(0.02, 0.02, 0.05) + vec3(0.05, 0.03, 0.10) * (1.0 - y) * (0.6 + 0.4 * sin(itime * 0.9 + uv.x * 3.0));
    if (!gap && y < level * 0.92) {
        colour = mix(low, high, y) * (0.55 + 0.45 * y / max(level, 0.01));
    }
    float capY = cap * 0.92 + 0.02;
    if (!gap && abs(y - capY) < 0.012) {
        colour = vec3(1.0);
    }
    // A soft floor glow that swells with the bass.
    colour += glowColour * 0.025 / (y + 0.03) * (0.3 + bass);
    FragColor = vec4(colour, cap);
}
