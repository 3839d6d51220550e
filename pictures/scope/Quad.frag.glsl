#version 450 core
// Scope: the waveform as a glowing line across the picture, leaving a fading
// trail of the lines before it; its colour follows the loudness.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float level;
uniform sampler2D waveform;
uniform sampler2D previous;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

void main() {
    float wave = texture(waveform, vec2(uv.x, 0.5)).r;
    float y = 0.5 + 0.42 * wave;
    // Distance to the line in pixels, steeper parts made thicker so it never breaks.
    float slope = (texture(waveform, vec2(uv.x + 1.0 / resolution.x, 0.5)).r - wave) * 0.42 * resolution.y;
    float d = abs(uv.y - y) * resolution.y / (1.0 + abs(slope));
    vec3 tint = mix(vec3(0.2, 0.9, 0.6), vec3(1.0, 0.5, 0.2), smoothstep(0.4, 0.9, level));
    vec3 line = tint * (1.2 / (d + 1.0));

    vec3 trail = texture(previous, uv + vec2(0.0, 0.002)).rgb * 0.8;
    // The graticule drifts sideways, slowly, so silence is not a still.
    vec3 grid = vec3(0.02, 0.05, 0.04) * step(0.995, max(fract(uv.x * 8.0 + itime * 0.1), fract(uv.y * 6.0)));
    vec3 colour = max(line, trail) + grid + vec3(0.01, 0.015, 0.02);
    FragColor = vec4(colour, 1.0);
}
