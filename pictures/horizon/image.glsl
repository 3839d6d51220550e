// Spectrum horizon: the sound's spectrum as a glowing mountain range over a
// reflecting floor, with the waveform drawn across the sky.
// Shadertoy's form: iChannel0 is the sound (row 0 the spectrum, row 1 the wave).

// Settings (settings.txt; --set NAME=#rrggbb), set by the studio.
uniform vec3 skyLow;
uniform vec3 skyHigh;

float spectrum(float x) {
    // Low frequencies get more room: the first fifth of the bins fill half
    // the width. The range starts at the fourth bin (about 65 Hz): below it
    // there is little but rumble, and the middle of the range would dip.
    float bin = 3.5 / 512.0 + pow(clamp(x, 0.0, 1.0), 1.7) * 0.5;
    return texture(iChannel0, vec2(bin, 0.25)).x;
}

float wave(float x) {
    return texture(iChannel0, vec2(x, 0.75)).x - 0.5;
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

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    float horizon = 0.38;
    bool below = uv.y < horizon;
    // Below the horizon the picture mirrors, rippling, at full height so a
    // loud peak's reflection reaches the foot of any shape.
    float y = below ? horizon + (horizon - uv.y) * 1.05 : uv.y;
    float x = uv.x + (below ? 0.004 * sin(uv.y * 180.0 + iTime * 3.0) : 0.0);

    // The peaks stay below the waveform's lowest reach (0.74), in any shape.
    float height = horizon + spectrum(abs(x - 0.5) * 2.0) * 0.34;
    float d = y - height;
    vec3 sky = mix(skyLow, skyHigh, uv.y);
    float turn = 0.6 * abs(x - 0.5) + 0.05 * iTime;
    vec3 hue = onPalette(0.5 + 0.5 * cos(6.2831 * (vec3(0.0, 0.33, 0.67) + turn)), turn);
    vec3 col = sky;
    col += hue * (d < 0.0 ? 0.55 + 0.45 * (y - horizon) / max(height - horizon, 0.001) : 0.0);
    col += hue * 0.012 / (abs(d) + 0.004);  // the ridge line glows

    float w = abs(uv.y - (0.8 + 0.12 * wave(uv.x)));
    col += vec3(0.7, 0.9, 1.0) * 0.0025 / (w + 0.002) * step(horizon, uv.y);

    if (below) {
        col *= 0.45;
    }
    col *= 1.0 - 0.35 * dot(uv - 0.5, uv - 0.5);  // vignette
    fragColor = vec4(col, 1.0);
}
