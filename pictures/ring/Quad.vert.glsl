#version 450 core
// The full-screen quad: corners already in clip space, u, v from 0 to 1 with
// v = 1 at the top. What is the same for every pixel of a frame (the kick's
// flash, the breathing, the core's colour and the bass it swells with) is
// worked out here, four times a frame, instead of once a pixel: `flat`
// hands it to the fragment stage as it is.
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;

uniform float itime;
uniform float beat;
uniform float bass;
uniform vec3 coreColour = vec3(1.0, 0.45, 0.3);
uniform vec3 coreColour2 = vec3(0.9, 0.3, 0.8);

layout(std430, binding = 0) readonly buffer Audio {
    float spectrum[16384];
};

out vec2 uv;
flat out float kick;    // the last onset's flash, fading
flat out float breath;  // 0..1, slowly
flat out float low;     // the bass the core swells with
flat out vec3 core;     // the core's colour

const float BINS_PER_HZ = 16384.0 / 88200.0;

void main() {
    uv = aTexCoord;
    gl_Position = vec4(aPos, 1.0);
    kick = exp(-beat * 7.0);
    breath = 0.5 + 0.5 * sin(itime * 0.8);
    float at = 70.0 * BINS_PER_HZ;
    int i = int(at);
    float value = mix(spectrum[i], spectrum[i + 1], at - float(i));
    low = max(clamp((value - 2.5) * 0.14, 0.0, 1.0), bass);
    core = mix(coreColour, coreColour2, 0.5 + 0.5 * sin(itime * 0.13));
}
