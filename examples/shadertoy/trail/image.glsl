// Feedback trail: Buffer A as it is, with a soft vignette.
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    vec3 trail = texture(iChannel0, uv).rgb;
    fragColor = vec4(trail * (1.0 - 0.5 * dot(uv - 0.5, uv - 0.5)), 1.0);
}
