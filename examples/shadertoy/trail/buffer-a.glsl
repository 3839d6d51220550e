// Feedback trail: last frame's picture, drawn a little larger and dimmer,
// under a ring whose radius follows the bass. The zoom and the fading are
// per second (iTimeDelta), so the trail is as long at 24 fps as at 60.
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    vec2 centre = vec2(0.5);
    float zoom = exp(-0.35 * iTimeDelta);
    vec4 before = texture(iChannel0, centre + (uv - centre) * zoom) * exp(-1.2 * iTimeDelta);

    float bass = 0.0;
    for (int i = 1; i < 12; ++i) {
        bass += texture(iChannel1, vec2((float(i) + 0.5) / 512.0, 0.25)).x;
    }
    bass /= 11.0;
    vec2 p = (fragCoord - 0.5 * iResolution.xy) / iResolution.y;
    float radius = 0.08 + 0.3 * bass * bass;
    float ring = smoothstep(0.012, 0.0, abs(length(p) - radius));
    vec3 hue = 0.5 + 0.5 * cos(6.2831 * (0.1 * iTime + vec3(0.0, 0.33, 0.67) + atan(p.y, p.x) / 6.2831));
    fragColor = max(before, vec4(hue * ring, ring));
}
