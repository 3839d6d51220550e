#version 450 core
// Waterfall: a scrolling spectrogram, time running upwards. Each row is the
// bands at one moment, read from the bands' history the studio keeps (one
// row a 60th of a second, twelve seconds): the bottom row is now, the top
// twelve seconds ago (newer moments taller, as in perspective), and until
// the song has played that long what it has
// played fills the height, so the first second is already a full picture.
// Drawn from the song's own times, it is the same at any frame rate and a
// still anywhere in a song costs one frame. A faint tick each second and a
// slow ripple in quiet rows keep it moving in silence.
//
// Laid over something (--transparent, --background) a row's alpha is its
// marks' coverage and the backdrop gives way.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform sampler2D bandHistory;  // 64 × 720, row 0 the newest 60 Hz tick
uniform float bandHistorySeconds;
uniform bool transparent;  // laid over something: write the marks' own colour
// Settings (settings.txt; --set backdrop=#rrggbb).
uniform vec3 backdrop = vec3(0.035, 0.02, 0.07);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

vec3 heat(float v) {
    // Black, violet, red, orange, pale yellow.
    return clamp(vec3(1.6 * v - 0.15, 1.9 * v * v - 0.3, 0.6 * sin(3.1 * v) + 0.5 * v * v * v), 0.0, 1.0);
}

const float SECONDS = 12.0;
const float ROWS = 720.0;  // the history's rows, 60 a second
const float TICKS = 60.0;

void main() {
    float span = clamp(bandHistorySeconds, 1.0 / TICKS, SECONDS);
    // How long before now this pixel's row was heard, and the song's time
    // then. Newer moments take more rows, as a floor seen in perspective: a
    // kick lands as a band, not a line, and the older rows pack together.
    float age = pow(uv.y, 1.6) * span;
    float then = itime - age;
    // Row 0 was heard at the last tick at or before now: between ticks the
    // rows slide by the part of a tick gone since, so the scroll is smooth.
    float sinceTick = fract(itime * TICKS + 1e-4) / TICKS;
    float row = max(age - sinceTick, 0.0) * TICKS;
    // Bands interpolated across the width and between rows, gently lifted so
    // quiet music shows.
    float v = texture(bandHistory, vec2((uv.x * 63.0 + 0.5) / 64.0, (row + 0.5) / ROWS)).r;
    vec3 colour = heat(clamp((v - 0.2) / 0.75, 0.0, 1.0));
    if (transparent) {
        float cover = max(colour.r, max(colour.g, colour.b));
        FragColor = vec4(min(colour / max(cover, 0.004), 1.0), cover);
        return;
    }
    // A faint tick each second of the song and a slow ripple that moves
    // with the rows, so silence scrolls by visibly too.
    float ripple = 1.0 + 0.6 * sin(uv.x * 9.0 + then * 1.3);
    float tick = step(fract(then), 0.02) * step(0.0, then);
    colour = max(colour, backdrop * (ripple + 1.5 * tick));
    FragColor = vec4(colour, 1.0);
}
