// Waterfall: a scrolling spectrogram, time running upwards. Buffer A's ring
// of rows unrolled, the newest at the bottom: the height is the last twelve
// seconds, at any size and frame rate; until the ring holds a full height
// the rows written so far are stretched over the whole of it, so the
// picture is full from the first second. A faint tick each second and a
// slow ripple keep it moving in silence.
const float kSeconds = 12.0;
// Settings (settings.txt; --set backdrop=#rrggbb), set by the studio.
uniform vec3 backdrop;
// Laid over something (--transparent, --background): the marks' own colour
// with their coverage as alpha, the backdrop given way.
uniform bool transparent;

vec3 heat(float v) {
    // Black, violet, red, orange, pale yellow.
    return clamp(vec3(1.6 * v - 0.15, 1.9 * v * v - 0.3, 0.6 * sin(3.1 * v) + 0.5 * v * v * v), 0.0, 1.0);
}

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    float height = iResolution.y;
    float head = floor(iTime * height / kSeconds + 0.001);
    float y = floor(fragCoord.y);
    float row = head < height - 1.0 ? head - floor(y * (head + 1.0) / height) : mod(head - y, height);
    vec4 kept = texelFetch(iChannel0, ivec2(fragCoord.x, row), 0);
    vec3 colour = heat(clamp((kept.x - 0.2) / 0.75, 0.0, 1.0));
    if (transparent) {
        float cover = clamp(2.0 * max(colour.r, max(colour.g, colour.b)), 0.0, 1.0);
        fragColor = vec4(min(colour / max(cover, 0.004), 1.0), cover);
        return;
    }
    float ripple = 1.0 + 0.6 * sin(uv.x * 9.0 + kept.z * 1.3);
    fragColor = vec4(max(colour, backdrop * (ripple + 1.5 * kept.y)), 1.0);
}
