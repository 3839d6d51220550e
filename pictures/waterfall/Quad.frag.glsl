#version 450 core
// Waterfall: a scrolling spectrogram. The last picture moves up as many
// pixel rows as time has passed (the height is always the last twelve
// seconds, at any size and frame rate) and the bands are drawn into the new
// rows at the bottom, so time runs upwards and the song's structure shows as
// it plays. A faint tick each second keeps it moving in silence.
//
// Alpha says which rows are written (the frame before is the memory). Laid
// over something (--transparent, --background) a written row's alpha is its
// marks' coverage instead, at least 1/255 so it still reads as written, and
// the backdrop gives way.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float bands[64];
uniform float delta;
uniform sampler2D previous;
uniform bool transparent;  // laid over something: write the marks' own colour
// Settings (settings.txt; --set backdrop=#rrggbb).
uniform vec3 backdrop = vec3(0.035, 0.02, 0.07);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

vec3 heat(float v) {
    // Black, violet, red, orange, pale yellow.
    return clamp(vec3(1.6 * v - 0.15, 1.9 * v * v - 0.3, 0.6 * sin(3.1 * v) + 0.5 * v * v * v), 0.0, 1.0);
}

const float SECONDS = 12.0;

void main() {
    vec2 pixel = gl_FragCoord.xy;
    float speed = resolution.y / SECONDS;  // rows a second
    // Rows since the start now, less rows then; the small lift keeps a time
    // that lands on a row's edge on the same side of it in both frames.
    float rows = floor(itime * speed + 0.001) - floor((itime - delta) * speed + 0.001);
    if (pixel.y < rows) {
        vec3 colour;
        // Bands interpolated across the width, gently lifted so quiet music shows.
        float at = uv.x * 63.0;
        int k = int(at);
        float v = mix(bands[k], bands[min(k + 1, 63)], fract(at));
        colour = heat(clamp((v - 0.2) / 0.75, 0.0, 1.0));
        if (transparent) {
            float cover = clamp(2.0 * max(colour.r, max(colour.g, colour.b)), 1.0 / 255.0, 1.0);
            FragColor = vec4(min(colour / cover, 1.0), cover);
            return;
        }
        // A faint tick each second, so time shows scrolling by even in silence.
        // Quiet rows carry a slow ripple, so silence scrolls by visibly too.
        float ripple = 1.0 + 0.6 * sin(uv.x * 9.0 + itime * 1.3);
        colour = max(colour, backdrop * (ripple + 1.5 * step(fract(itime), 0.02)));
        FragColor = vec4(colour, 1.0);
        return;
    }
    // Rows not yet written (alpha 0) show a faint, drifting backdrop, so the
    // first seconds are neither a black screen nor a still.
    vec4 before = texture(previous, (pixel - vec2(0.0, rows)) / resolution);
    float drift = 0.8 + 0.2 * uv.y + 0.25 * sin(uv.x * 4.0 + itime * 0.8);
    if (transparent) {
        FragColor = before.a > 0.0 ? before : vec4(0.0);
        return;
    }
    FragColor = before.a > 0.5 ? vec4(before.rgb, 1.0) : vec4(backdrop * drift, 0.0);
}
