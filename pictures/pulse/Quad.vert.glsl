#version 450 core
// The full-screen quad: corners already in clip space, u, v from 0 to 1 with
// v = 1 at the top. What is the same for every pixel of a frame (where this
// beat's burst starts, its colour, how far its ring and flash have faded)
// is worked out here, four times a frame, instead of once for each of two
// million pixels: `flat` hands it to the fragment stage as it is.
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;

uniform float aspect;
uniform float itime;
uniform float beat;
uniform int beats;
uniform float loudness;
uniform float treble;
uniform vec3 backdrop = vec3(0.02, 0.02, 0.05);
uniform vec4 titleBox;     // the title's words in pixels from the bottom left; empty: none
uniform vec2 resolution;

out vec2 uv;
flat out vec2 centre;     // where this beat's burst started
flat out vec3 hue;        // its colour
flat out vec3 fades;      // ring, sparks (with the treble), flash
flat out vec3 back;       // the background's part that breathes with the loudness
flat out float seed;
flat out float since;     // seconds since the beat, at most ten

const float PI = 3.14159265;

float hash(float n) {
    return fract(sin(n * 12.9898) * 43758.5453);
}

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

void main() {
    uv = aTexCoord;
    gl_Position = vec4(aPos, 1.0);
    since = min(beat, 10.0);
    seed = float(beats);
    centre = vec2(hash(seed) - 0.5, hash(seed + 7.0) - 0.5) * vec2(1.2 / aspect, 1.0);
    // Never behind the title's words: a burst that would start within reach
    // of them starts in the half of the frame away from them.
    if (titleBox.w > titleBox.y && resolution.y > 0.0) {
        float low = titleBox.y / resolution.y * 2.0 - 1.0;
        float high = titleBox.w / resolution.y * 2.0 - 1.0;
        if (centre.y > low - 0.35 && centre.y < high + 0.35) {
            float away = low + high < 0.0 ? 1.0 : low + high > 0.0 ? -1.0 : (hash(seed + 11.0) < 0.5 ? -1.0 : 1.0);
            float edge = away > 0.0 ? high + 0.35 : low - 0.35;  // the nearest a burst may start
            centre.y = away > 0.0 ? max(edge, 0.1) + abs(centre.y) * 0.6 : min(edge, -0.1) - abs(centre.y) * 0.6;
            centre.y = clamp(centre.y, -0.8, 0.8);
        }
    }
    hue = onPalette(0.55 + 0.45 * cos(2.0 * PI * (vec3(0.0, 0.33, 0.67) + hash(seed + 3.0))), hash(seed + 3.0));
    fades = vec3(exp(-since * 2.5), exp(-since * 1.8) * (0.6 + treble), exp(-since * 8.0));
    back = backdrop * (1.0 + 2.0 * loudness);
}
