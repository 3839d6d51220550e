#version 450 core
// Cover: the song's cover art (or the first --image) in the middle, gently
// pulsing with the bass and framed by a ring of the bands. Without a picture
// a soft gradient disc stands in, so the look still holds. Alpha is the
// coverage of the art and the ring: the backdrop gives way with
// --transparent or --background.
in vec2 uv;
out vec4 FragColor;

uniform float aspect;
uniform float itime;
uniform float bands[64];
uniform float bass;
uniform float loudness;  // level, levelled: the same look at any master's loudness
uniform sampler2D cover;
uniform vec2 coverSize;
uniform bool transparent;  // laid over something: write the marks' own colour
uniform vec2 resolution;
uniform vec4 titleBox;     // the title's words in pixels from the bottom left; empty: none
uniform float titleShown;  // how much of the title shows, 0..1
// Settings (settings.txt; --set NAME=#rrggbb).
uniform vec3 plainBottom = vec3(0.25, 0.15, 0.45);
uniform vec3 plainTop = vec3(0.9, 0.45, 0.35);
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };

const float PI = 3.14159265;

// --palette's ramp, set by the studio with a palette (paletted 1; else 0,
// as a uniform nobody set is). A palette is a ramp the picture spreads its
// hues over: x (0 to 1, turning) runs from the low colour to the high one
// and back.
uniform float paletted;
uniform vec3 paletteLow;
uniform vec3 paletteMid;
uniform vec3 paletteHigh;
vec3 onPalette(vec3 rainbow, float x) {
    if (paletted < 0.5) {
        return rainbow;
    }
    float t = 1.0 - abs(2.0 * fract(x) - 1.0);
    return t < 0.5 ? mix(paletteLow, paletteMid, t * 2.0) : mix(paletteMid, paletteHigh, t * 2.0 - 1.0);
}

// Band `at` (0..63), interpolated between its neighbours.
float bandAt(float at) {
    float f = clamp(at, 0.0, 63.0);
    int i = int(floor(f));
    return mix(bands[i], bands[min(i + 1, 63)], f - float(i));
}

// Portrait: the room above and below the ring holds the bands again, as bars
// rising from the bottom edge and hanging from the top (bass in the middle),
// so the whole height moves and not only a square in the middle of it.
// Returns the bars' colour premultiplied by their coverage, which is in .a.
vec4 edgeBars(vec2 p, float halfHeight, float room, float lift) {
    float fromEdge = halfHeight - abs(p.y);
    // The bars above give way to the art where it moved up.
    room -= p.y > 0.0 ? lift : 0.0;
    // The bars on the title's side stop short of its words.
    if (titleBox.w > titleBox.y) {
        bool below = titleBox.y + titleBox.w < resolution.y;
        if ((p.y < 0.0) == below) {
            float edge = below ? titleBox.y : resolution.y - titleBox.w;  // pixels from that edge
            float clear = (edge - 0.02 * resolution.y) / resolution.y * 2.0 * halfHeight;
            room = mix(room, clamp(clear, 0.0, room), titleShown);
        }
    }
    float across = clamp(p.x / 1.2 * 0.5 + 0.5, 0.0, 1.0) * 32.0;
    float slot = floor(min(across, 31.999));
    float level = bandAt(abs(slot + 0.5 - 16.0) * 4.0);
    float tall = room * (0.3 + 0.7 * level);
    // Coverage from the distance to the bar's sides and tip in pixels.
    float px = fwidth(across);
    float side = clamp((0.4 - abs(across - slot - 0.5)) / px + 0.5, 0.0, 1.0);
    float tip = clamp((tall - fromEdge) / fwidth(p.y) + 0.5, 0.0, 1.0);
    float cover = side * tip;
    float turn = abs(slot + 0.5 - 16.0) / 32.0 + itime * 0.03;
    vec3 hue = onPalette(0.55 + 0.45 * cos(2.0 * PI * (vec3(0.0, 0.33, 0.67) + turn)), turn);
    vec3 colour = hue * (0.35 + 0.65 * fromEdge / max(tall, 1e-3)) * 0.8;
    return vec4(colour * cover, cover);
}

void main() {
    vec2 p = uv * 2.0 - 1.0;
    p.y *= aspect;
    p /= min(1.0, aspect);
    // The ring of bands reaches out to 1.06 of the shorter half-side at its
    // loudest: a little room round it, so it never touches an edge.
    p *= 1.2;
    float halfHeight = 1.2 * max(aspect, 1.0);
    // With the title below, the art and its ring move up out of its way, as
    // far as the room above allows (in portrait; landscape has none).
    float lift = 0.0;
    if (titleBox.w > titleBox.y && titleBox.y + titleBox.w < resolution.y) {
        float titleTop = (titleBox.w / resolution.y * 2.0 - 1.0) * halfHeight;
        lift = clamp(titleTop + 1.2, 0.0, max(halfHeight - 1.2, 0.0)) * titleShown;
    }
    vec2 edges = p;  // the frame's own coordinates, for what keeps to its edges
    p.y -= lift;
    float r = length(p);
    float a = atan(p.x, -p.y) / PI;  // -1..1, bass at the bottom

    // Taller than wide, the art takes half the width (the bars take the
    // height); otherwise 43% of the shorter side.
    bool tall = aspect > 1.2;
    float size = (tall ? 0.6 : 0.52) * (1.0 + 0.06 * bass);
    vec3 colour = transparent ? vec3(0.0) : mix(vec3(0.05, 0.05, 0.09), vec3(0.01, 0.01, 0.03), r);
    float covered = 0.0;
    // The art, square, cropped to the middle of a non-square image.
    vec2 q = p / size;
    bool hasArt = coverSize.x > 1.5 || coverSize.y > 1.5;
    if (hasArt && max(abs(q.x), abs(q.y)) < 1.0) {
        vec2 fit = coverSize / min(coverSize.x, coverSize.y);
        vec2 t = vec2(0.5) + vec2(q.x, q.y) * 0.5 / fit;
        colour = texture(cover, t).rgb * (0.85 + 0.3 * bass);
        float edge = smoothstep(1.0, 0.96, max(abs(q.x), abs(q.y)));
        colour *= edge;
        covered = edge;
    } else if (!hasArt && length(q) < 1.0) {
        // No art: a record turning at 33 revolutions a minute, its grooves
        // catching the light in the two colours, a label in the middle.
        float rq = length(q);
        float turn = atan(q.y, q.x) + itime * 2.0 * PI * 33.0 / 60.0;
        vec3 sheen = mix(plainBottom, plainTop, 0.5 + 0.5 * cos(turn));
        float grooves = 0.75 + 0.25 * sin(rq * 140.0);
        vec3 vinyl = mix(vec3(0.03), sheen * 0.55, 0.35 + 0.25 * grooves) * (0.85 + 0.3 * bass);
        vec3 label = mix(plainTop, plainBottom, 0.5 + 0.5 * q.y) * (0.9 + 0.2 * bass);
        float onLabel = smoothstep(0.36, 0.34, rq);
        colour = mix(vinyl, label, onLabel) * smoothstep(0.035, 0.05, rq);
        float edge = smoothstep(1.0, 0.985, rq);
        colour *= edge;
        covered = edge;
    }
    // The ring of bands round it, each band blended into the next so the
    // ring is one smooth curve, not a row of notches.
    float band = bandAt(abs(a) * 63.0);
    float ring = tall ? size * 1.38 + 0.2 * band : size * 1.55 + 0.25 * band;
    float d = abs(r - ring);
    float turn = abs(a) * 0.5 + itime * 0.03;
    vec3 hue = onPalette(0.55 + 0.45 * cos(2.0 * PI * (vec3(0.0, 0.33, 0.67) + turn)), turn);
    vec3 glow = hue * (0.006 / (d + 0.006)) * (0.4 + band) + hue * 0.05 * loudness / (r * r + 0.2);
    colour += glow;
    // The glow's coverage is its strength, so a partly covered pixel keeps
    // the glow's own colour at full brightness (over black it adds up to the
    // glow as drawn without a layer).
    float glowCover = clamp(max(glow.r, max(glow.g, glow.b)), 0.0, 1.0);
    // Taller than 1.2 to 1, bars fill what lies beyond the ring's reach.
    float room = halfHeight - 1.2;
    if (room > 0.1 && covered == 0.0) {
        vec4 bars = edgeBars(edges, halfHeight, room, lift);
        glow = glow * (1.0 - bars.a) + bars.rgb;
        colour = colour * (1.0 - bars.a) + bars.rgb;
        glowCover = max(glowCover, bars.a);
    }
    if (transparent && covered == 0.0) {
        FragColor = vec4(min(glow / max(glowCover, 0.004), 1.0), glowCover);
        return;
    }
    float alpha = max(covered, glowCover);
    // Laid over something, a partly covered pixel has the art's and the
    // glow's own colour, not one darkened towards black by its coverage.
    FragColor = transparent ? vec4(min(colour / max(alpha, 0.004), 1.0), alpha) : vec4(colour, alpha);
}
