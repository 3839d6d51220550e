#version 450 core
// The full-screen quad: corners already in clip space, u, v from 0 to 1 with
// v = 1 at the top.
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;

out vec2 uv;

void main() {
    uv = aTexCoord;
    gl_Position = vec4(aPos, 1.0);
}
