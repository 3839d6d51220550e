#version 450 core
// Bars: the 64 bands as mirrored bars rising from a centre line, with peak
// caps that hold the highest level and fall back slowly (the studio's held
// peaks). Alpha is coverage: the bars, caps and glow over a backdrop that
// gives way with --transparent or --background.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float bands[64];
uniform float peaks[64];
uniform bool transparent;  // laid over something: write the marks' own colour
uniform float bass;
uniform vec2 titleClear;  // the rows the title leaves whole, in pixels from the bottom
// Settings (settings.txt; --set NAME=#rrggbb).
uniform vec3 lowColour = vec3(0.10, 0.75, 0.95);
uniform vec3 highColour = vec3(0.95, 0.25, 0.55);
uniform vec3 glowColour = vec3(0.2, 0.4, 0.9);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

const int BARS = 48;

void main() {
    // Bars over the bands 4..51 (about 50 Hz to 8 kHz), where music lives.
    float column = uv.x * float(BARS);
    int bar = int(column);
    float within = fract(column);
    // Music's spectrum falls with frequency (some 4 dB an octave): above
    // 250 Hz (bar 15) each band is lifted by its share of that fall, up to
    // 1.9 times at 8 kHz, so the treble moves as the bass does. A lift, not
    // an offset: silence stays flat.
    float lift = 1.0 + 0.9 * clamp((float(bar) - 15.0) / 32.0, 0.0, 1.0);
    float level = clamp((bands[4 + bar] * lift - 0.25) / 0.7, 0.0, 1.0);

    // The cap: the band's held peak, on the bars' scale.
    float cap = clamp((peaks[4 + bar] * lift - 0.25) / 0.7, 0.0, 1.0);

    // The bars keep to the rows the title leaves them.
    float bottom = titleClear.x;
    float top = titleClear.y;
    // 0 at the centre line, 1 at the edges of the bars' rows.
    float y = abs(gl_FragCoord.y - 0.5 * (bottom + top)) / max(0.5 * (top - bottom), 1.0);
    vec3 low = lowColour;
    vec3 high = highColour;
    // The backdrop drifts slowly, so a quiet passage is calm but alive.
    vec3 back = vec3(0.02, 0.02, 0.05) + vec3(0.05, 0.03, 0.10) * (1.0 - y) * (0.6 + 0.4 * sin(itime * 0.9 + uv.x * 3.0));
    // Edges are anti-aliased: each mark covers a pixel by how far inside it
    // the pixel's centre lies, in pixels (a pixel is fwidth wide). The marks
    // are summed premultiplied by their coverage, the cap over the bar.
    float side = clamp((0.38 - abs(within - 0.5)) / fwidth(column) + 0.5, 0.0, 1.0);
    float dy = fwidth(y);
    float body = side * clamp((level * 0.92 - y) / dy + 0.5, 0.0, 1.0);
    vec3 marks = mix(low, high, y) * (0.55 + 0.45 * y / max(level, 0.01)) * body;
    float cover = body;
    float capY = cap * 0.92 + 0.02;
    float capCover = side * clamp((0.012 - abs(y - capY)) / dy + 0.5, 0.0, 1.0);
    marks = marks * (1.0 - capCover) + vec3(capCover);
    cover = cover * (1.0 - capCover) + capCover;
    // A soft floor glow that swells with the bass.
    vec3 glow = glowColour * 0.025 / (y + 0.03) * (0.3 + bass);
    // Its coverage is its strength: a partly covered pixel has the glow's
    // own colour at full brightness.
    float glowCover = clamp(max(glow.r, max(glow.g, glow.b)), 0.0, 1.0);
    float alpha = max(cover, glowCover);
    if (transparent) {
        FragColor = vec4(min((marks + glow) / max(alpha, 0.004), 1.0), alpha);
        return;
    }
    FragColor = vec4(back * (1.0 - cover) + marks + glow, alpha);
}
