// Bass tunnel: rings rush towards the viewer, faster and brighter with the
// low end of the spectrum; the treble sparkles on the walls.
// Shadertoy's form: iChannel0 is the sound.

float band(float from, float to) {
    float sum = 0.0;
    for (int i = 0; i < 8; ++i) {
        sum += texture(iChannel0, vec2(mix(from, to, (float(i) + 0.5) / 8.0), 0.25)).x;
    }
    return sum / 8.0;
}

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 p = (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    float bass = band(0.0, 0.03);
    float treble = band(0.15, 0.45);
    float r = length(p);
    float a = atan(p.y, p.x);
    float depth = 0.35 / max(r, 0.02);
    // iBassTime runs faster with the bass: the tunnel speeds up without jumping.
    float z = depth + 0.8 * iBassTime;

    float rings = 0.5 + 0.5 * cos(z * 6.2831 * 1.5);
    rings = pow(rings, 8.0 - 6.0 * bass);
    float spokes = 0.5 + 0.5 * cos(a * 12.0 + z * 2.0);
    float sparkle = step(0.985 - 0.1 * treble, fract(sin(floor(a * 40.0) * 12.9898 + floor(z * 8.0) * 78.233) * 43758.5));

    vec3 hue = 0.5 + 0.5 * cos(6.2831 * (vec3(0.0, 0.1, 0.2) + z * 0.05 + bass * 0.3));
    vec3 col = hue * rings * (0.4 + 1.2 * bass) + vec3(0.8, 0.9, 1.0) * sparkle * treble;
    col += hue * 0.15 * spokes;
    col *= smoothstep(0.0, 0.35, r);      // the far end fades to dark
    col += vec3(1.0, 0.6, 0.3) * 0.03 / (r + 0.05) * bass;
    fragColor = vec4(col, 1.0);
}
