#version 450 core
// The full-screen quad: corners already in clip space, u, v from 0 to 1 with
// v = 1 at the top. The drifting centre of the rings is the same for every
// pixel of a frame: worked out here, four times a frame, and handed on flat.
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;

uniform float midTime;

out vec2 uv;
flat out vec2 drift;

void main() {
    uv = aTexCoord;
    gl_Position = vec4(aPos, 1.0);
    float t = 0.4 * midTime;
    drift = vec2(sin(t * 0.3), cos(t * 0.4));
}
