#version 450 core
// The spectrum as a glowing ring around a pulsing core.
//
// The ring's outline is the spectrum on a log-frequency axis: bass at the
// bottom, treble rising up both sides to the top, mirrored left and right.
// The core breathes with the bass, faint ripples run outward with the time,
// and colours drift slowly. In silence the ring rests on a calm breathing
// circle, so the picture is never dead.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;  // framebuffer height / width
uniform float itime;   // seconds since start

// ln of FFT magnitudes, L/R values interleaved: bin k holds k * rate / 32768 Hz
// of the stereo sound, ln 0.001 (about -6.9) in silence, around 8-12 when loud.
layout(std430, binding = 0) readonly buffer Audio {
    float spectrum[16384];
};

const float PI = 3.14159265;
const float BINS_PER_HZ = 16384.0 / 88200.0;
const float LOW_HZ = 40.0;
const float HIGH_HZ = 14000.0;

// 0 (quiet) .. 1 (loud) at a fractional bin.
float level(float bin) {
    int i = int(clamp(bin, 1.0, 8190.0));
    float f = fract(bin);
    float v = mix(spectrum[i], spectrum[i + 1], f);
    return clamp((v - 2.0) / 7.5, 0.0, 1.0);
}

// 0 .. 1 along the log-frequency axis; wide bands take their loudest of three.
float band(float t) {
    float hz = LOW_HZ * pow(HIGH_HZ / LOW_HZ, t);
    float bin = hz * BINS_PER_HZ;
    float spread = max(bin * 0.03, 0.5);
    return max(level(bin), max(level(bin - spread), level(bin + spread)));
}

vec3 palette(float t) {
    return 0.55 + 0.45 * cos(2.0 * PI * (t + vec3(0.0, 0.33, 0.67)));
}

void main() {
    // Square units: the shorter side spans -1 .. 1, whatever the window's shape.
    vec2 p = uv * 2.0 - 1.0;
    p.y *= aspect;
    p /= min(1.0, aspect);

    float r = length(p);
    float a = atan(p.x, -p.y);          // 0 at the bottom, +-PI at the top
    float t = abs(a) / PI;              // 0 = bass .. 1 = treble

    float bass = max(level(60.0 * BINS_PER_HZ), level(90.0 * BINS_PER_HZ));
    float breath = 0.5 + 0.5 * sin(itime * 0.7);
    float base = 0.38 + 0.02 * breath + 0.10 * bass;
    float e = band(t);
    float outline = base + 0.42 * e * e;

    float hue = 0.62 + 0.35 * t + 0.05 * itime;
    vec3 ringColour = palette(hue);
    vec3 coreColour = palette(hue + 0.5);

    // Background: deep blue with ripples drifting outward.
    vec3 colour = vec3(0.015, 0.02, 0.045) * (1.2 - 0.5 * r);
    colour += 0.025 * palette(0.05 * itime + r * 0.3) * (0.5 + 0.5 * sin(18.0 * r - 1.6 * itime));

    // The spectrum band: filled softly from the base circle to the outline,
    // with a bright glowing edge.
    float inside = smoothstep(base - 0.01, base + 0.01, r) * (1.0 - smoothstep(outline - 0.01, outline + 0.005, r));
    colour += inside * ringColour * (0.18 + 0.55 * e);
    float edge = abs(r - outline);
    colour += ringColour * (0.0035 / (edge + 0.0035)) * (0.6 + 0.8 * e);
    colour += ringColour * 0.25 * exp(-edge * 12.0) * e;

    // The core: a soft orb that swells with the bass.
    float core = exp(-r * r / (0.02 + 0.06 * bass + 0.01 * breath));
    colour += coreColour * core * (0.35 + 0.9 * bass);
    colour += 0.004 / (abs(r - base) + 0.004) * coreColour * 0.35;

    // Tone mapping keeps the glow from clipping to flat white.
    colour = 1.0 - exp(-colour * 1.6);
    FragColor = vec4(pow(colour, vec3(0.85)), 1.0);
}
