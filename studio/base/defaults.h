// defaults.h — the one home of the studio's defaults: what a video, a
// window and a live stream are when nothing says otherwise. The option
// table (its defaults and help texts), the settings structs and the parts'
// records all take them from here.
//
// Threading: constants.
#pragma once

namespace defaults {

// A video: what upload sites take without a second encode.
constexpr int kVideoWidth = 1920;
constexpr int kVideoHeight = 1080;
constexpr int kVideoFps = 30;
constexpr int kVideoCrf = 18;  // x264's visually lossless end

// play's window, and what it plays with no SOUND given.
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;
constexpr const char* kPlaySound = "example.wav";

// A list of pictures: a change every this many bars, crossfading over this
// many beats; bars of this many beats unless a song says otherwise.
constexpr int kChangeEveryBars = 8;
constexpr double kCrossfadeBeats = 1;
constexpr int kBeatsPerBar = 4;

// A live stream (render to a URL, play --stream): the same rate; a quality
// that fits the bandwidth a receiver expects.
constexpr int kStreamFps = 30;
constexpr int kStreamCrf = 23;
// x264's speed for play's stream: a live show must keep up on two cores.
constexpr const char* kStreamPreset = "ultrafast";

}  // namespace defaults
