// Spectrogram: Buffer A's ring of columns unrolled, the newest at the right,
// over a slowly turning background so silence still moves. Until the ring
// holds a full width (the first eight seconds) the columns written so far
// are stretched across the whole width, so the picture is full from the
// first second; it is the same at any frame rate, since each column is a
// time step, and it meets the plain unrolling exactly when the ring is full.
const float kSeconds = 8.0;
// Settings (settings.txt; --set background=#rrggbb), set by the studio.
uniform vec3 background;
// Laid over something (--transparent, --background): the columns' own colour
// with their coverage as alpha, the background given way. The studio keeps
// the alpha of a picture that declares this.
uniform bool transparent;

vec3 heat(float v) {
    return vec3(smoothstep(0.15, 0.6, v), smoothstep(0.45, 0.95, v), smoothstep(0.0, 0.35, v) * (1.0 - smoothstep(0.55, 0.8, v)) + smoothstep(0.85, 1.0, v));
}

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    float width = iResolution.x;
    float head = floor(iTime * width / kSeconds + 0.001);
    float column = head < width - 1.0 ? floor(floor(fragCoord.x) * (head + 1.0) / width)
                                      : mod(head - (width - 1.0 - floor(fragCoord.x)), width);
    float v = texelFetch(iChannel0, ivec2(column, fragCoord.y), 0).x;
    vec3 turning = background * (1.0 + 0.7 * cos(6.2831 * (0.4 * uv.y + 0.04 * iTime + vec3(0.0, 0.33, 0.67))));
    vec3 marks = heat(v);
    if (transparent) {
        float cover = clamp(1.5 * max(marks.r, max(marks.g, marks.b)), 0.0, 1.0);
        fragColor = vec4(min(marks / max(cover, 0.004), 1.0), cover);
        return;
    }
    fragColor = vec4(turning + marks, 1.0);
}
