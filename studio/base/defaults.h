// defaults.h — the one home of the studio's defaults: what a video, a
// window and a live stream are when nothing says otherwise. The options'
// help texts, the command line's checks, the settings structs and the
// parts' records all take them from here.
//
// Threading: constants.
#pragma once

namespace defaults {

// A video: what upload sites take without a second encode.
constexpr int kVideoWidth = 1920;
constexpr int kVideoHeight = 1080;
constexpr int kVideoFps = 30;
constexpr int kVideoCrf = 18;  // x264's visually lossless end

// play's window.
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;

// A live stream (render to a URL, play --stream): the same rate; a quality
// that fits the bandwidth a receiver expects.
constexpr int kStreamFps = 30;
constexpr int kStreamCrf = 23;

}  // namespace defaults
