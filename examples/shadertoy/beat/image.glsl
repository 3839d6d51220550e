// What the music of sound.glsl looks like, heard through iChannel0 as any
// song is: a disc that swells with the low end (the kick and the bass), the
// waveform across it, and a ring for the hi-hat's highs.
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    float low = texture(iChannel0, vec2(0.03, 0.25)).x;
    float high = texture(iChannel0, vec2(0.75, 0.25)).x;
    float r = length(uv);
    vec3 colour = vec3(0.04, 0.03, 0.07);
    float disc = 0.25 + 0.45 * low;
    colour += vec3(0.95, 0.35, 0.2) * smoothstep(disc + 0.01, disc - 0.01, r) * (0.4 + 0.6 * low);
    float ring = abs(r - (0.85 + 0.1 * high));
    colour += vec3(0.3, 0.8, 1.0) * smoothstep(0.02, 0.0, ring) * (0.2 + 2.0 * high);
    float wave = texture(iChannel0, vec2(fragCoord.x / iResolution.x, 0.75)).x - 0.5;
    float line = abs(uv.y - 0.8 * wave);
    colour += vec3(1.0) * smoothstep(0.012, 0.0, line) * 0.8;
    fragColor = vec4(colour, 1.0);
}
