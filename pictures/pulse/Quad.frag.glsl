#version 450 core
// Pulse: on every beat a burst of sparks flies out from a new place and a
// shock ring spreads and fades; between beats the sparks drift and dim.
// Embers rise through it all with the music's clock, twinkling with the
// treble and swelling with the mids. The background breathes with the
// loudness, so silence is calm, not frozen.
// Alpha is the coverage of the sparks, rings and glow: the background gives
// way with --transparent or --background.
in vec2 uv;
// Worked out once a frame in the vertex stage (Quad.vert.glsl).
flat in vec2 centre;
flat in vec3 hue;
flat in vec3 fades;
flat in vec3 back;
flat in float seed;
flat in float since;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform int beats;
uniform float bass;
uniform float mid;
uniform float levelTime;
uniform float trebleTime;
uniform bool transparent;  // laid over something: write the marks' own colour
// Settings (settings.txt; --set NAME=#rrggbb); backdrop is read in the
// vertex stage.
uniform vec3 glowColour = vec3(0.6, 0.3, 0.9);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

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
    vec2 p = uv * 2.0 - 1.0;
    p.x /= aspect;
    vec3 background = back + vec3(0.03, 0.0, 0.05) * (0.5 + 0.5 * sin(itime * 0.7 + p.x));
    vec3 colour = vec3(0.0);
    if (beats > 0) {
        vec2 d = p - centre;
        float r = length(d);
        // The shock ring.
        float front = since * 1.4;
        colour += hue * 0.012 / (abs(r - front) + 0.01) * fades.x;
        // Sparks: twelve directions, each a streak travelling out.
        float angle = atan(d.y, d.x);
        float sector = floor((angle + PI) / (2.0 * PI) * 12.0);
        float aim = (sector + 0.5) / 12.0 * 2.0 * PI - PI + 0.3 * (hash(sector + seed) - 0.5);
        float speed = 0.6 + 0.8 * hash(sector * 3.1 + seed);
        vec2 spark = centre + vec2(cos(aim), sin(aim)) * since * speed;
        float s = length(p - spark);
        colour += hue * 0.004 / (s * s * 40.0 + 0.004) * fades.y;
        // The flash where it began.
        colour += vec3(1.0, 0.9, 0.8) * fades.z * 0.05 / (r * r + 0.02);
    }
    colour += glowColour * 0.02 * bass / (dot(p, p) + 0.1);

    // Embers: one in each cell of a grid that rises with the music's clock.
    vec2 q = vec2(p.x, p.y - 0.12 * levelTime) * 4.0;
    vec2 cell = floor(q);
    float h = hash(cell.x * 57.0 + cell.y * 113.0);
    vec2 spot = cell + 0.2 + 0.6 * vec2(h, hash(h * 91.7 + 3.1));
    float e = length(q - spot);
    float twinkle = 0.5 + 0.5 * sin(trebleTime * 3.0 + h * 40.0);
    vec3 emberHue = onPalette(0.6 + 0.4 * cos(2.0 * PI * (vec3(0.0, 0.33, 0.67) + h)), h);
    colour += emberHue * (0.003 + 0.015 * mid) * twinkle * exp(-e * e * 20.0) / (e * e * 8.0 + 0.01);
    // The faintest glow (under 2%) counts as background.
    // Coverage is the light's strength (the faintest haze none): a partly
    // covered pixel has the light's own colour at full brightness.
    float cover = clamp(1.04 * max(colour.r, max(colour.g, colour.b)) - 0.04, 0.0, 1.0);
    FragColor = transparent ? vec4(min(colour / max(cover, 0.004), 1.0), cover) : vec4(background + colour, cover);
}
