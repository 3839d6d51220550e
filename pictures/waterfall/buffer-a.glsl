// Waterfall's memory: one row per time step, written in a ring so nothing
// is copied from frame to frame. The rows a frame covers depend on the time
// since the frame before, so it scrolls at the same speed at any frame rate.
// A row keeps the bands' level across the width (x), whether it fell on a
// second's tick (y) and the time it was written (z, for the ripple).
const float kSeconds = 12.0;  // the span shown up the height
uniform float bands[64];

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    float height = iResolution.y;
    float speed = height / kSeconds;  // rows a second
    // The small lift keeps a time that lands on a row's edge on the same
    // side of it in this frame and the next.
    float head = floor(iTime * speed + 0.001);
    float from = max(floor((iTime - iTimeDelta) * speed + 0.001), head - height + 1.0);
    float row = floor(fragCoord.y);
    // The newest time step (slot) that lands in this row.
    float slot = row + height * floor((head - row) / height);
    if (slot < from || slot > head) {
        fragColor = texelFetch(iChannel0, ivec2(fragCoord), 0);
        return;
    }
    // Bands interpolated across the width.
    float at = fragCoord.x / iResolution.x * 63.0;
    int k = int(at);
    float v = mix(bands[k], bands[min(k + 1, 63)], fract(at));
    float time = slot / speed;
    fragColor = vec4(v, step(fract(time), 0.02), time, 1.0);
}
