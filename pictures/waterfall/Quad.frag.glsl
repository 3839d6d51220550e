#version 450 core
// Waterfall: a scrolling spectrogram. Each frame the last picture moves up
// one pixel row and the bands are drawn into the bottom row, so time runs
// upwards and the song's structure shows as it plays. A faint tick each
// second keeps it moving in silence.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform vec2 resolution;
uniform float bands[64];
uniform sampler2D previous;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

vec3 heat(float v) {
    // Black, violet, red, orange, pale yellow.
    return clamp(vec3(1.6 * v - 0.15, 1.9 * v * v - 0.3, 0.6 * sin(3.1 * v) + 0.5 * v * v * v), 0.0, 1.0);
}

void main() {
    vec2 pixel = gl_FragCoord.xy;
    vec3 colour;
    if (pixel.y < 2.0) {
        // Bands interpolated across the width, gently lifted so quiet music shows.
        float at = uv.x * 63.0;
        int k = int(at);
        float v = mix(bands[k], bands[min(k + 1, 63)], fract(at));
        colour = heat(clamp((v - 0.2) / 0.75, 0.0, 1.0));
        // A faint tick each second, so time shows scrolling by even in silence.
        colour = max(colour, vec3(0.035, 0.02, 0.07) * (1.0 + 1.5 * step(fract(itime), 0.02)));
    } else {
        colour = texture(previous, (pixel - vec2(0.0, 1.0)) / resolution).rgb;
    }
    FragColor = vec4(colour, 1.0);
}
