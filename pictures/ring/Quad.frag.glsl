#version 450 core
// The spectrum as a glowing ring around a breathing core: the shipped
// picture, with two things only the studio gives. Every kick flashes the
// core and kicks the ring out on the frame it starts (the live program's
// spectrum is smoothed and shows it some frames late), and alpha is the
// coverage of the ring and the core, so with --transparent or --background
// the deep blue behind them gives way.
//
// The ring's outline is the spectrum on a log-frequency axis: bass at the
// bottom, treble rising up both sides to the top, mirrored left and right.
// The core swells with the bass, faint ripples drift outward and the colours
// turn slowly with the time. In silence the ring rests on a calm breathing
// circle, so the picture is never dead.
//
// Kept cheap on purpose: it must hold 60 frames a second at 800x600 on a
// software rasteriser. Storage-buffer reads are the dearest part there, so
// they happen only where they can change the pixel.
in vec2 uv;
// Worked out once a frame in the vertex stage (Quad.vert.glsl).
flat in float kick;
flat in float breath;
flat in float low;
flat in vec3 core;
out vec4 FragColor;

uniform float aspect;  // framebuffer height / width
uniform float itime;   // seconds since start
uniform bool transparent;  // laid over something: write the marks' own colour
// Settings (settings.txt): the colours. The ring's rainbow is tinted by
// ringColour (white: as it is); the core glows between its two colours.
uniform vec3 ringColour = vec3(1.0);
// (coreColour and coreColour2 are read in the vertex stage.)
uniform vec3 backColour = vec3(0.03, 0.035, 0.08);
uniform vec3 rippleColour = vec3(0.015, 0.025, 0.05);

// ln |FFT| of the sample window, L/R values interleaved: for a stereo sound at
// 44.1 kHz a tone of f Hz lands in bin f * 16384 / 88200. About -6.9 in
// silence, 8 to 12 when loud; the upper half mirrors the lower.
layout(std430, binding = 0) readonly buffer Audio {
    float spectrum[16384];
};

const float PI = 3.14159265;
const float BINS_PER_HZ = 16384.0 / 88200.0;
const float LOW_HZ = 40.0;
const float OCTAVES = 8.4;  // 40 Hz .. about 13.5 kHz
// Mastered music falls about 3 dB an octave; lifting each octave by as much
// lets the treble move as visibly as the bass. ln(10^(3/20)) per octave.
const float TILT = 0.3454;
const vec3 RING_COS = cos(2.0 * PI * vec3(0.0, 0.33, 0.67));
const vec3 RING_SIN = sin(2.0 * PI * vec3(0.0, 0.33, 0.67));

// --palette's ramp, set by the studio with a palette (paletted 1; else 0,
// as a uniform nobody set is). A palette is a ramp the picture spreads its
// hues over: x (0 to 1, turning) runs from the low colour to the high one
// and back.
uniform float paletted;
uniform vec3 paletteLow;
uniform vec3 paletteMid;
uniform vec3 paletteHigh;
vec3 onPalette(vec3 rainbow, float x) {
    if (paletted < 0.5) {
        return rainbow;
    }
    float t = 1.0 - abs(2.0 * fract(x) - 1.0);
    return t < 0.5 ? mix(paletteLow, paletteMid, t * 2.0) : mix(paletteMid, paletteHigh, t * 2.0 - 1.0);
}

// 0 (quiet) .. 1 (loud) at a bin, lifted by `lift` (natural log units).
// Between two bins the level is blended: at the bass end one bin spans a
// wide arc, which would show as steps.
float level(float bin, float lift) {
    float at = clamp(bin, 1.0, 8190.0);
    int i = int(at);
    float value = mix(spectrum[i], spectrum[i + 1], at - float(i));
    return clamp((value + lift - 2.5) * 0.14, 0.0, 1.0);
}

void main() {
    // Square units: the shorter side spans -1 .. 1, whatever the window's shape.
    vec2 p = uv * 2.0 - 1.0;
    p.y *= aspect;
    p /= min(1.0, aspect);

    float r = length(p);
    float t = abs(atan(p.x, -p.y)) / PI;  // 0 = bottom = bass .. 1 = top = treble

    // The band's level where the ring can reach, the bass inside the core.
    float e = 0.0;
    if (r > 0.3 && r < 1.0) {
        e = level(LOW_HZ * exp2(t * OCTAVES) * BINS_PER_HZ, TILT * t * OCTAVES);
        e *= e;
    }
    float base = 0.36 + 0.025 * breath + 0.03 * kick;
    float outline = base + 0.45 * e;

    // Hue runs along the axis (warm bass, cool treble) and turns with time.
    // The three channels are cos(hue + phase); expanded, they share one sine
    // and one cosine, which a software rasteriser pays for per pixel.
    float hue = 2.0 * PI * (0.02 * itime + 0.45 * t);
    vec3 ring = ringColour * onPalette(0.55 + 0.45 * (cos(hue) * RING_COS - sin(hue) * RING_SIN), hue / (2.0 * PI));

    // Background: deep blue, darker at the edges, with ripples drifting outward.
    vec3 back = backColour * (1.3 - 0.6 * r);
    back += rippleColour * (0.5 + 0.5 * sin(16.0 * r - 1.5 * itime));

    // The band: filled softly from the base circle to the outline, with a
    // bright edge and a wider halo that grows with the level, and the base
    // circle's rim; all in the ring's colour, so they are summed first.
    float inside = smoothstep(base - 0.01, base + 0.01, r) * (1.0 - smoothstep(outline - 0.012, outline, r));
    float edge = abs(r - outline);
    float lit = inside * (0.15 + 0.9 * e) + (0.004 / (edge + 0.004)) * (0.6 + 1.5 * e) +
                (0.6 * e) / (1.0 + 300.0 * edge * edge) + 0.5 * (0.003 / (abs(r - base) + 0.003));
    vec3 marks = ring * lit;

    // The core, a hot glow that swells with the bass and flashes on a kick.
    float glow = exp(-r * r / (0.004 + 0.03 * low + 0.02 * kick + 0.003 * breath)) * (1.0 - smoothstep(0.3, 0.42, r));
    marks += core * glow * (0.5 + 2.0 * low + 1.5 * kick);

    // Soft tone mapping keeps the glow from clipping to flat white.
    vec3 colour = 1.8 * (back + marks);
    vec3 shown = 1.8 * marks / (1.0 + 1.8 * marks);
    // Coverage is the marks' strength against their brightest (tone mapped,
    // 0.85 and up is solid): a partly covered pixel has their own colour at
    // that brightness, never one darkened towards black.
    float cover = clamp(max(shown.r, max(shown.g, shown.b)) / 0.85, 0.0, 1.0);
    FragColor = transparent ? vec4(min(shown / max(cover, 0.004), 1.0), cover) : vec4(colour / (1.0 + colour), cover);
}
