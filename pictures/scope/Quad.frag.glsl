#version 450 core
// Scope: the waveform as a glowing line across the picture, leaving a fading
// trail of the lines before it; its colour follows the loudness. Alpha is
// coverage, the line's strength against its full colour: the line is
// opaque, its trail fades out, and the line's faint far glow and the
// graticule's backdrop give way with --transparent.
// The trail is drawn from the waveform's history (the same rows at any frame
// rate), so the same moment looks the same at 24 and at 60 frames a second.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float loudness;  // level, levelled: the same look at any master's loudness
uniform float delta;
uniform sampler2D waveform;
// Row k: the waveform k ticks of 60 Hz ago, each texel a sample and the
// next as 16-bit fixed point (high byte, low byte) over -1..1.
uniform sampler2D wavePairs;
const int kColumns = 1024;
const vec2 FIXED = vec2(255.0 * 256.0, 255.0) * (2.0 / 65535.0);
uniform bool transparent;  // laid over something: write the marks' own colour
uniform vec2 titleClear;  // the rows the title leaves whole, in pixels from the bottom
// Settings (settings.txt; --set NAME=#rrggbb).
uniform vec3 quietColour = vec3(0.2, 0.9, 0.6);
uniform vec3 loudColour = vec3(1.0, 0.5, 0.2);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

// In silence the line would lie flat and still: a slow ripple runs along
// it instead, fading out as soon as there is sound to show.
float idle(float x) {
    return (1.0 - smoothstep(0.05, 0.3, loudness)) * 0.02 * sin(x * 14.0 - itime * 1.7) * sin(itime * 0.37 + x * 3.0);
}

const int ROWS = 16;
// Each tick's line weighs this much against the one after it: the trail
// halves every 60 ms.
const float KEEP = 0.8311;  // exp(-(1/60) / 0.09)

// How bright the line from `wave` (this pixel's value) to `next` (the next
// pixel's) is here, at height y. The distance is in pixels to that span, so
// a steep part is a solid stroke from one value to the next and never breaks.
float rowsTall;  // the height the line is drawn in, in pixels

float lineAt(float wave, float next, float y, float scale) {
    float a = 0.5 + scale * wave;
    float b = 0.5 + scale * next;
    float d = max(max(min(a, b) - y, y - max(a, b)), 0.0) * rowsTall;
    return 1.2 / (d + 1.0);
}

void main() {
    // The line keeps to the rows the title leaves it.
    float bottom = titleClear.x;
    float top = titleClear.y;
    rowsTall = max(top - bottom, 1.0);
    // This pixel's height in the line's rows, 0..1 (outside them beyond).
    float y = (gl_FragCoord.y - bottom) / rowsTall;

    // The line's height follows the sound's recent loudness (its RMS, from
    // "loudness"), so a loud chorus fills the scope as much as a quiet verse
    // and does not turn it into a scribble; quiet sound is not blown up
    // past three times.
    float rms = pow(10.0, 3.0 * (loudness - 1.0));
    float scale = 0.42 / max(3.0 * rms, 0.3);
    float nextX = uv.x + 1.0 / resolution.x;
    float bright = lineAt(texture(waveform, vec2(uv.x, 0.5)).r + idle(uv.x),
                          texture(waveform, vec2(nextX, 0.5)).r + idle(nextX), y, scale);
    vec3 tint = mix(quietColour, loudColour, smoothstep(0.4, 0.9, loudness));

    // The trail: the lines of the last ticks, each a little lower than the
    // one after it and weighted by its age, averaged with this frame's. A
    // texel of wavePairs holds a pixel's value in a row and the next one's.
    int column = min(int(uv.x * float(kColumns)), kColumns - 2);
    float trail = (1.0 - KEEP) * bright;
    float weight = 1.0 - KEEP;
    for (int k = 1; k < ROWS; ++k) {
        vec4 pair = texelFetch(wavePairs, ivec2(column, k), 0);
        float here = dot(pair.xy, FIXED) - 1.0;
        float next = dot(pair.zw, FIXED) - 1.0;
        weight *= KEEP;
        trail += weight * lineAt(here, next, y + 0.002 * float(k), scale);
    }
    // The graticule drifts sideways, slowly, so silence is not a still; its
    // lines are a pixel and a bit wide at any size.
    vec2 cell = fract(vec2(uv.x * 8.0 + itime * 0.1, uv.y * 6.0));
    vec2 width = 1.2 * vec2(8.0, 6.0) / resolution;
    vec3 grid = vec3(0.02, 0.05, 0.04) * max(step(1.0 - width.x, cell.x), step(1.0 - width.y, cell.y));
    vec3 colour = tint * max(bright, 1.6 * trail) + grid + vec3(0.01, 0.015, 0.02);
    vec3 line = tint * max(bright, 1.6 * trail);
    // Coverage is the line's strength against its brightest (1.2 × its
    // colour, at its centre; the faintest far glow none): the trail fades
    // out in coverage, keeping the line's colour, so over white it never
    // darkens.
    float strength = max(line.r, max(line.g, line.b)) / (1.2 * max(max(tint.r, max(tint.g, tint.b)), 0.01));
    float cover = clamp((strength - 0.03) / 0.97, 0.0, 1.0);
    FragColor = transparent ? vec4(min(line / max(cover, 0.004), 1.0), cover) : vec4(colour, cover);
}
