#version 450 core
// Scope: the waveform as a glowing line across the picture, leaving a fading
// trail of the lines before it; its colour follows the loudness. Alpha is
// coverage, 1 − e^(−12 × (the trail's brightness − 0.02)): the line is
// opaque, its trail fades out, and the line's faint far glow and the
// graticule's backdrop give way with --transparent.
// The same alpha, read back from the previous frame and turned back into a
// brightness, is the trail's memory.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float loudness;  // level, levelled: the same look at any master's loudness
uniform float delta;
uniform sampler2D waveform;
uniform sampler2D previous;
uniform bool transparent;  // laid over something: write the marks' own colour
// Settings (settings.txt; --set NAME=#rrggbb).
uniform vec3 quietColour = vec3(0.2, 0.9, 0.6);
uniform vec3 loudColour = vec3(1.0, 0.5, 0.2);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

// In silence the line would lie flat and still: a slow ripple runs along
// it instead, fading out as soon as there is sound to show.
float idle(float x) {
    return (1.0 - smoothstep(0.05, 0.3, loudness)) * 0.02 * sin(x * 14.0 - itime * 1.7) * sin(itime * 0.37 + x * 3.0);
}

void main() {
    float wave = texture(waveform, vec2(uv.x, 0.5)).r + idle(uv.x);
    // The line runs from this pixel's value to the next one's: its distance
    // in pixels is to that span, so a steep part is a solid stroke from one
    // value to the next and never breaks, and lights nothing beyond it.
    // The line's height follows the sound's recent loudness (its RMS, from
    // "loudness"), so a loud chorus fills the scope as much as a quiet verse
    // and does not turn it into a scribble; quiet sound is not blown up
    // past three times.
    float rms = pow(10.0, 3.0 * (loudness - 1.0));
    float scale = 0.42 / max(3.0 * rms, 0.3);
    float y = 0.5 + scale * wave;
    float nextX = uv.x + 1.0 / resolution.x;
    float next = 0.5 + scale * (texture(waveform, vec2(nextX, 0.5)).r + idle(nextX));
    float d = max(max(min(y, next) - uv.y, uv.y - max(y, next)), 0.0) * resolution.y;
    vec3 tint = mix(quietColour, loudColour, smoothstep(0.4, 0.9, loudness));
    float bright = 1.2 / (d + 1.0);

    // The trail is an average of the lines before, weighted by their age
    // (halved every 60 ms) and kept in alpha: the same average whatever the
    // frame rate, where keeping a fraction of each frame would be a longer
    // trail the fewer frames there are.
    float kept = texture(previous, uv + vec2(0.0, 0.002)).a;
    float before = kept > 0.0 ? 0.02 - log(1.0 - min(kept, 0.998)) / 12.0 : 0.0;
    float trail = mix(bright, before, exp(-delta / 0.09));
    // The graticule drifts sideways, slowly, so silence is not a still; its
    // lines are a pixel and a bit wide at any size.
    vec2 cell = fract(vec2(uv.x * 8.0 + itime * 0.1, uv.y * 6.0));
    vec2 width = 1.2 * vec2(8.0, 6.0) / resolution;
    vec3 grid = vec3(0.02, 0.05, 0.04) * max(step(1.0 - width.x, cell.x), step(1.0 - width.y, cell.y));
    vec3 colour = tint * max(bright, 1.6 * trail) + grid + vec3(0.01, 0.015, 0.02);
    float cover = 1.0 - exp(-12.0 * max(trail - 0.02, 0.0));
    vec3 line = tint * max(bright, 1.6 * trail);
    FragColor = transparent ? vec4(min(line / max(cover, 0.004), 1.0), cover) : vec4(colour, cover);
}
