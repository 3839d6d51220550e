// Spectrogram memory: one column per time step, written in a ring so nothing
// is copied from frame to frame. The columns a frame covers depend on the
// time since the frame before, so the picture scrolls at the same speed at
// any frame rate.
const float kSeconds = 8.0;  // the span shown across the width

void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    float width = iResolution.x;
    float speed = width / kSeconds;  // columns a second
    // The small lift keeps a time that lands on a column's edge on the same
    // side of it in this frame and the next.
    float head = floor(iTime * speed + 0.001);
    float from = max(floor((iTime - iTimeDelta) * speed + 0.001), head - width + 1.0);
    float column = floor(fragCoord.x);
    // The newest time step that lands in this column.
    float step = column + width * floor((head - column) / width);
    if (step < from || step > head) {
        fragColor = texelFetch(iChannel0, ivec2(fragCoord), 0);
        return;
    }
    // Low frequencies get more room: the lowest fifth of the bins fill half the height.
    float bin = pow(fragCoord.y / iResolution.y, 2.0) * 0.5;
    fragColor = vec4(texture(iChannel1, vec2(bin, 0.25)).x, 0.0, 0.0, 1.0);
}
