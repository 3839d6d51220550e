// shaderSound.h — a shader's Sound pass as the song: drawn whole, sample
// for sample, into a 32-bit float WAV that render and play then read like
// any song (levelling measures it, the tempo tracker hears it, the picture's
// music channels and the studio's inputs are fed from it, a part reads its
// own samples of it, join encodes it).
//
// The file is kept in $XDG_CACHE_HOME/vrax-studio/sound (else
// ~/.cache/vrax-studio/sound, else the temporary folder), named by a
// fingerprint of everything its samples are made from (the wrapped code,
// the channels, the length), so the parts of one render, a second render
// and play all read the one drawing; the folder keeps the 16 newest.
//
// Threading: main thread, before the show's context is made (it opens an
// EGL context of its own and closes it); or, with ownContext false, the
// thread whose GL context is current (play drawing it again on a save).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/runContext.h"
#include "base/status.h"
#include "cli.h"

// How long a Sound pass plays when nothing says: as long as the site once
// played one. Past the longest, a soundtrack is no longer a shader's.
constexpr double kShaderSongSeconds = 60;
constexpr double kLongestShaderSong = 3600;

// The notes a show's pictures are built with where the Sound pass is the
// song: all but the one saying it is left out.
Notes withoutSoundNote(const Notes& notes);

struct ShaderSongRequest {
  std::string shaders;
  double seconds = kShaderSongSeconds;
  bool quiet = false;
  bool verbose = false;
  bool live = false;  // for play: a pass slower than it plays is said to be drawn whole first
  std::vector<ChannelSetting> channels;  // --channel, "sound:N=WHAT" among them
  // Drawn in an EGL context of its own; false: in the GL context current
  // (play's, drawing it again while it plays).
  bool ownContext = true;
  const RunContext* run = nullptr;  // stops the drawing between blocks; null: a signal does
};

// The song the Sound pass writes: drawn now (with a progress line), or as
// drawn before. Refused when the pass does not build (the driver's log,
// naming the pass, file and line), takes too long, or the file cannot be
// written.
Result<std::string> shaderSong(const ShaderSongRequest& request);

// The frames [first, end) of a song at `path` written to `output` (.wav: as
// 32-bit floats, sample for sample; .flac: 24-bit), through a hidden file
// given the name when complete.
Status writeSoundtrack(const std::string& path, const std::string& output, int64_t first, int64_t end,
                       bool overwrite, const RunContext& run);

// With no SOUND given: the Sound pass of --shaders made the song (o.songs,
// o.sound, soundFromShaders), for o.soundSeconds or else the default (or
// up to `to` where later); with --picture too, the picture is --picture's.
// An exit status to leave with (a usage error where --shaders has no Sound
// pass and one is `required`), or nothing to go on.
std::optional<int> useShaderSong(SharedOptions& o, double to, bool quiet, const RunContext& run, bool required = true,
                                 bool live = false);
