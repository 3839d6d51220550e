// The music this picture draws: a kick on every beat at 120 BPM, a hi-hat
// between, and a bass line of four notes a bar. Sample `samp` is at
// samp / iSampleRate seconds; the hi-hat's noise is a hash of the sample's
// number, so every render of it is the same to the sample.
const float kBpm = 120.0;
const float kTau = 6.2831853;

float kick(float t) {
    // A sine falling from 150 Hz to 50 Hz in a few hundredths of a second.
    float phase = 50.0 * t + 100.0 * (1.0 - exp(-30.0 * t)) / 30.0;
    return sin(kTau * phase) * exp(-7.0 * t);
}

float hat(int samp, float t) {
    uint h = uint(samp) * 747796405u + 2891336453u;
    h = ((h >> ((h >> 28u) + 4u)) ^ h) * 277803737u;
    float noise = float((h >> 22u) ^ h) / 4294967295.0 * 2.0 - 1.0;
    return noise * exp(-60.0 * t);
}

vec2 mainSound(int samp, float time) {
    float beat = 60.0 / kBpm;
    float sinceBeat = mod(time, beat);
    float sinceOffbeat = mod(time + 0.5 * beat, beat);
    int bar = int(time / (4.0 * beat));
    int step = int(time / beat) % 4;
    float notes[4] = float[4](55.0, 55.0, 65.41, 49.0);
    float f = notes[step] * (bar % 2 == 1 && step == 3 ? 1.5 : 1.0);
    // The bass ducks under each kick, as a mix would.
    float duck = 1.0 - exp(-10.0 * sinceBeat);
    float bass = (sin(kTau * f * time) + 0.3 * sin(2.0 * kTau * f * time)) * 0.22 * duck;
    float k = 0.7 * kick(sinceBeat);
    float hh = 0.12 * hat(samp, sinceOffbeat);
    return vec2(k + bass + 0.7 * hh, k + bass + hh);
}
