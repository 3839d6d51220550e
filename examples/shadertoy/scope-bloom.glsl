// Scope bloom: the waveform as a bright trace that blooms outwards in
// concentric rings, its colour following how loud the sound is.
// Shadertoy's form: iChannel0 is the sound.

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    vec2 p = (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    float loud = 0.0;
    for (int i = 0; i < 16; ++i) {
        loud += texture(iChannel0, vec2((float(i) + 0.5) / 64.0, 0.25)).x;
    }
    loud /= 16.0;

    // The trace wrapped round a circle whose size breathes with the sound.
    float a = atan(p.y, p.x) / 6.2831 + 0.5;
    float wave = texture(iChannel0, vec2(a, 0.75)).x - 0.5;
    float radius = 0.45 + 0.25 * loud + 0.35 * wave;
    float d = abs(length(p) - radius);

    vec3 cold = vec3(0.1, 0.5, 1.0);
    vec3 hot = vec3(1.0, 0.35, 0.15);
    vec3 tint = mix(cold, hot, smoothstep(0.2, 0.7, loud));
    vec3 col = tint * 0.008 / (d + 0.003);
    col += tint * 0.12 * (0.5 + 0.5 * cos(length(p) * 30.0 - iTime * 4.0)) * exp(-d * 6.0);
    col += vec3(0.02, 0.02, 0.04) * (1.0 - uv.y);
    fragColor = vec4(col, 1.0);
}
