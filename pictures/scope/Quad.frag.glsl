#version 450 core
// Scope: the waveform as a glowing line across the picture, leaving a fading
// trail of the lines before it; its colour follows the loudness. The trail's
// brightness lives in the alpha of the previous frame.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float level;
uniform float delta;
uniform sampler2D waveform;
uniform sampler2D previous;
// Settings (settings.txt; --set NAME=#rrggbb).
uniform vec3 quietColour = vec3(0.2, 0.9, 0.6);
uniform vec3 loudColour = vec3(1.0, 0.5, 0.2);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

void main() {
    float wave = texture(waveform, vec2(uv.x, 0.5)).r;
    float y = 0.5 + 0.42 * wave;
    // Distance to the line in pixels, steeper parts made thicker so it never breaks.
    float slope = (texture(waveform, vec2(uv.x + 1.0 / resolution.x, 0.5)).r - wave) * 0.42 * resolution.y;
    float d = abs(uv.y - y) * resolution.y / (1.0 + abs(slope));
    vec3 tint = mix(quietColour, loudColour, smoothstep(0.4, 0.9, level));
    float bright = 1.2 / (d + 1.0);

    // The trail is an average of the lines before, weighted by their age
    // (halved every 40 ms) and kept in alpha: the same average whatever the
    // frame rate, where keeping a fraction of each frame would be a longer
    // trail the fewer frames there are.
    float before = texture(previous, uv + vec2(0.0, 0.002)).a;
    float trail = mix(bright, before, exp(-delta / 0.058));
    // The graticule drifts sideways, slowly, so silence is not a still; its
    // lines are a pixel and a bit wide at any size.
    vec2 cell = fract(vec2(uv.x * 8.0 + itime * 0.1, uv.y * 6.0));
    vec2 width = 1.2 * vec2(8.0, 6.0) / resolution;
    vec3 grid = vec3(0.02, 0.05, 0.04) * max(step(1.0 - width.x, cell.x), step(1.0 - width.y, cell.y));
    vec3 colour = tint * max(bright, 1.6 * trail) + grid + vec3(0.01, 0.015, 0.02);
    FragColor = vec4(colour, trail);
}
