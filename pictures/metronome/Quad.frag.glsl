#version 450 core
// Metronome: the song's bar as a dial. A hand sweeps round once a bar
// (barPhase) and the beats it has passed light up round the rim; a ring
// closes in on the centre through each beat and lands on it (beatPhase), so
// the picture arrives with the beat instead of reacting after it. An onset
// flares the hub. With no steady beat (bpm 0) the hand turns with the
// music's clock and the ring rests at the rim.
// Alpha is the coverage of the hand, the marks and the ring.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform float bpm;
uniform float beatPhase;
uniform float barPhase;
uniform float beat;        // seconds since the last onset
uniform float loudness;
uniform float levelTime;
uniform float bass;
uniform bool transparent;  // laid over something: write the marks' own colour
uniform vec3 handColour = vec3(1.0, 0.75, 0.3);
uniform vec3 ringColour = vec3(0.3, 0.8, 1.0);
uniform vec3 backdrop = vec3(0.02, 0.02, 0.05);
uniform float beatsPerBar = 4.0;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

const float PI = 3.14159265;

// How much of a pixel a line `width` wide at distance d covers.
float line(float d, float width) {
    float pixel = 2.0 / 600.0;
    return clamp((width - abs(d)) / pixel + 0.5, 0.0, 1.0);
}

void main() {
    vec2 p = uv * 2.0 - 1.0;
    // The dial round in any shape (aspect is height over width).
    if (aspect < 1.0) {
        p.x /= aspect;
    } else {
        p.y *= aspect;
    }
    float r = length(p);
    float rim = 0.8;
    // Clockwise from twelve o'clock, 0 → 1 round the dial.
    float angle = fract(atan(p.x, p.y) / (2.0 * PI) + 1.0);
    bool steady = bpm > 0.0;
    float sweep = steady ? barPhase : fract(levelTime * 0.125);
    float perBar = max(1.0, floor(beatsPerBar + 0.5));

    float cover = 0.0;
    vec3 colour = vec3(0.0);
    // The hand, and the trail it leaves through the bar.
    float behind = fract(sweep - angle);
    float hand = line(dot(p, vec2(cos(2.0 * PI * sweep), -sin(2.0 * PI * sweep))), 0.006) *
                 step(0.0, dot(p, vec2(sin(2.0 * PI * sweep), cos(2.0 * PI * sweep)))) * step(r, rim);
    float trail = step(r, rim) * step(0.12, r) * 0.35 * exp(-behind * 6.0);
    // The beats round the rim: lit once the hand has passed them this bar.
    float slot = mod(floor(angle * perBar + 0.5), perBar);
    float markAngle = slot / perBar;
    float passed = steady ? step(markAngle, sweep + 0.001) : 0.3;
    vec2 markAt = vec2(sin(2.0 * PI * markAngle), cos(2.0 * PI * markAngle)) * (rim + 0.06);
    float mark = line(length(p - markAt), 0.035 + 0.01 * (slot == 0.0 ? 1.0 : 0.0));
    float markLight = 0.35 + 0.65 * passed;
    // The ring: from the rim at the last beat to the hub at the next.
    float towards = steady ? beatPhase : 0.0;
    float ringR = mix(rim, 0.1, towards * towards);
    float ring = line(r - ringR, 0.004 + 0.01 * towards) * (steady ? 0.4 + 0.6 * towards : 0.25);
    // The hub, flaring on an onset.
    float flare = exp(-beat * 8.0);
    float hub = line(r, 0.05 + 0.03 * flare + 0.04 * bass);

    colour = handColour * max(hand, trail) + handColour * mark * markLight + ringColour * ring +
             mix(handColour, vec3(1.0), flare) * hub * (0.5 + 0.5 * flare);
    cover = clamp(max(max(hand, trail), max(mark * markLight, max(ring, hub * (0.5 + 0.5 * flare)))), 0.0, 1.0);
    vec3 background = backdrop * (1.0 + 2.0 * loudness) + vec3(0.01, 0.0, 0.02) * (0.5 + 0.5 * sin(itime * 0.5));
    vec3 mark3 = min(colour / max(cover, 0.004), 1.0);
    FragColor = transparent ? vec4(mark3, cover) : vec4(mix(background, mark3, cover), 1.0);
}
