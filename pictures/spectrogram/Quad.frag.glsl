#version 450 core
// Spectrogram: the last eight seconds of the bands scrolling past, the
// newest at the right (and widest, as in perspective), low bands at the bottom, over a slowly turning
// background so silence still moves. Each column is a moment read from the
// bands' history the studio keeps (one row a 60th of a second), so any
// frame is drawn alone: the same at any frame rate, a still anywhere in a
// song costs one frame. Until the song has played eight seconds what it has
// played fills the whole width, so the first second is already a full
// picture.
//
// Laid over something (--transparent, --background) a column's alpha is
// its marks' coverage and the background gives way.
in vec2 uv;
out vec4 FragColor;

uniform float itime;
uniform sampler2D bandHistory;  // 64 × 720, row 0 the newest 60 Hz tick
uniform float bandHistorySeconds;
uniform bool transparent;  // laid over something: write the marks' own colour
// Settings (settings.txt; --set background=#rrggbb).
uniform vec3 background = vec3(0.05);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

const float SECONDS = 8.0;
const float ROWS = 720.0;  // the history's rows, 60 a second
const float TICKS = 60.0;

vec3 heat(float v) {
    return vec3(smoothstep(0.15, 0.6, v), smoothstep(0.45, 0.95, v),
                smoothstep(0.0, 0.35, v) * (1.0 - smoothstep(0.55, 0.8, v)) + smoothstep(0.85, 1.0, v));
}

void main() {
    float span = clamp(bandHistorySeconds, 1.0 / TICKS, SECONDS);
    // How long before now this column was heard: the newest moments take
    // more of the width (a beat lands as a band you can see, the older
    // seconds pack together). Between ticks the columns slide by the part
    // of a tick gone since, so the scroll is smooth.
    float age = pow(1.0 - uv.x, 1.4) * span;
    float sinceTick = fract(itime * TICKS + 1e-4) / TICKS;
    float row = max(age - sinceTick, 0.0) * TICKS;
    // A column as wide as several rows (a small picture, the oldest
    // seconds) shows their mean, not one of them: otherwise which one it
    // shows changes every frame and the picture flickers.
    float rows = clamp(fwidth(row), 1.0, 16.0);
    int reads = int(ceil(rows));
    float band = (uv.y * 63.0 + 0.5) / 64.0;
    float v = 0.0;
    for (int i = 0; i < reads; ++i) {
        float at = max(row + rows * ((float(i) + 0.5) / float(reads) - 0.5), 0.0);
        v += texture(bandHistory, vec2(band, (at + 0.5) / ROWS)).r;
    }
    v /= float(reads);
    vec3 marks = heat(clamp(v * 0.95, 0.0, 1.0));
    if (transparent) {
        float cover = clamp(1.5 * max(marks.r, max(marks.g, marks.b)), 0.0, 1.0);
        FragColor = vec4(min(marks / max(cover, 0.004), 1.0), cover);
        return;
    }
    vec3 turning = background * (1.0 + 0.7 * cos(6.2831 * (0.4 * uv.y + 0.04 * itime + vec3(0.0, 0.33, 0.67))));
    FragColor = vec4(turning + marks, 1.0);
}
