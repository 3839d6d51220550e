#version 450 core
// Two draws (draw.txt): layer 0 is the full-screen quad, shaded at half
// size, whose corners come already in clip space with u, v from 0 to 1
// (v = 1 at the top); layer 1 is the art's square again at the frame's own
// size, two triangles, so a sharp cover stays sharp. It stops short of the
// art's fading edge, so every pixel it covers is the art's, opaque, and is
// drawn exactly as the quad would draw it.
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;

out vec2 uv;

uniform int layer;
uniform float aspect;
uniform float bass;
uniform vec2 coverSize;
uniform vec2 resolution;
uniform vec4 titleBox;
uniform float titleShown;

void main() {
    if (layer == 0) {
        uv = aTexCoord;
        gl_Position = vec4(aPos, 1.0);
        return;
    }
    // Where Quad.frag.glsl puts the art: its middle moved up by the lift,
    // its half-side `size`, in coordinates 1.2 to the shorter half-side.
    float halfHeight = 1.2 * max(aspect, 1.0);
    float lift = 0.0;
    if (titleBox.w > titleBox.y && titleBox.y + titleBox.w < resolution.y) {
        float titleTop = (titleBox.w / resolution.y * 2.0 - 1.0) * halfHeight;
        lift = clamp(titleTop + 1.2, 0.0, max(halfHeight - 1.2, 0.0)) * titleShown;
    }
    float size = (aspect > 1.2 ? 0.6 : 0.52) * (1.0 + 0.06 * bass);
    bool hasArt = coverSize.x > 1.5 || coverSize.y > 1.5;
    // Inside 0.96 of its half-side the art is whole (its edge fades beyond).
    float inner = hasArt ? 0.96 * size : 0.0;
    int corner = gl_VertexID % 6;
    // Two triangles: (0, 1, 2) and (2, 1, 3) of the corners 0 bottom left,
    // 1 bottom right, 2 top left, 3 top right.
    int c = corner < 3 ? corner : (corner == 3 ? 2 : (corner == 4 ? 1 : 3));
    vec2 p = vec2((c & 1) == 1 ? inner : -inner, (c & 2) == 2 ? inner : -inner);
    vec2 clip = vec2(p.x, (p.y + lift) / aspect) * min(1.0, aspect) / 1.2;
    uv = clip * 0.5 + 0.5;
    gl_Position = vec4(clip, 0.0, 1.0);
}
