// cliOptions.cpp — see cliOptions.h: how render's and play's options are
// added to the command line.
#include "cliOptions.h"

#include <sstream>

#include "base/status.h"
#include "base/text.h"
#include "video/encoder.h"
#include "picture/gallery.h"
#include "picture/shaderSource.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace cli {

// A message as the terminal should show it: what came from a file or a name
// (control bytes, broken UTF-8) escaped; the message's own line breaks kept.
std::string shownMessage(const std::string& message) {
  std::string out;
  size_t start = 0;
  for (size_t end; (end = message.find('\n', start)) != std::string::npos; start = end + 1) {
    out += printable(message.substr(start, end - start)) + "\n";
  }
  return out + printable(message.substr(start));
}

// One line a failure: the reason, and where the help is.
int usage(const std::string& message) {
  std::cerr << "vrax-studio: " << shownMessage(message) << " (--help lists the options)" << std::endl;
  return kExitUsage;
}

// An option given an empty value ("--size ''", often a shell variable that
// was never set) is a mistake, never the default quietly taken.
Status checkNoneEmpty(const CLI::App* command) {
  if (command == nullptr || !command->parsed()) {
    return Status();
  }
  for (const CLI::Option* option : command->get_options()) {
    const std::vector<std::string>& given = option->results();
    // A flag, or an option whose value may be left out (--capture), has none to check.
    if (option->get_items_expected_min() == 0 || option->get_expected_min() == 0 ||
        std::none_of(given.begin(), given.end(), [](const std::string& v) { return v.empty(); })) {
      continue;
    }
    const std::string name = option->get_name(false, true);
    const std::string shown = name.substr(0, name.find(','));
    return Status::failure(option->get_positional() ? shown + " is an empty name"
                                                    : shown + " was given an empty value");
  }
  return Status();
}

// The options render and play share: the picture, its images and title, the libraries' noise.
void addSharedOptions(CLI::App* command, SharedOptions& o, OptionText& g, const char* pictureHelp, const char* libraries) {
  command->add_option("--shaders", o.shaders,
                      "Folder with Quad.vert.glsl and Quad.frag.glsl, or Shadertoy's form: a .glsl file, a folder "
                      "of passes (image.glsl, buffer-a.glsl ..., channels.txt) or the site's .json export");
  command->add_option("--picture", o.picture, pictureHelp);
  command->add_option("--length", g.length,
                      "Seconds of sound a shader's Sound pass writes where it is the song, with no SOUND given "
                      "(default 60, or --to where later; up to 3600)");
  command->add_option("--image", o.images, "A picture (PNG, JPEG) the pair reads as image0, image1, ... (up to 4)")
      ->allow_extra_args(false)
      ->type_name("FILE (repeatable)");
  command->add_option("--background", o.background,
                      "A picture (PNG, JPEG) behind the picture, scaled to cover the frame; seen where the "
                      "picture leaves its background see-through");
  command->add_option("--logo", o.logo, "A picture (PNG with alpha, JPEG) in the top-right corner, over the picture");
  command->add_option("--title", o.title, "Text over the picture; \"auto\" for \"Artist – Title\" from the tags");
  command->add_option("--title-at", g.titleAt, "top, bottom (default) or centre")
      ->check(CLI::IsMember({"top", "bottom", "centre", "center"}));
  command->add_option("--title-for", o.titleFor, "Show the title for this many seconds, then fade it out over one");
  command->add_option("--title-colour", g.titleColour, "The title's colour: #rrggbb, #rgb or a name (default white)");
  command->add_option("--title-size", g.titleSize,
                      "The title's size against the default (6% of the shorter side), from 0.5 to 2.5");
  command->add_option("--title-plate", g.titlePlate,
                      "A rounded plate behind the title: a colour, with @OPACITY from 0 to 1 (e.g. black@0.6, "
                      "#fff@0.8; default opacity 0.6)");
  command->add_option("--subtitle", o.titleLook.subtitle, "A second, smaller line under the title (\"out now\", the album)");
  command->add_option("--font", o.font, "Font file for the title (default: the system's sans-serif)");
  command->add_option("--set", o.sets, "A picture's setting, e.g. --picture ring --set ringColour=orange, --picture bars --set "
                      "lowColour=#0cf (colours: #rrggbb, #rgb or a CSS name; see pictures --describe)")
      ->allow_extra_args(false)
      ->type_name("NAME=VALUE (repeatable)");
  command->add_option("--palette", o.palette,
                      "Every picture's colours from one palette: sunset, ocean, neon, forest, mono (see pictures "
                      "--palettes); --set still changes one colour");
  command->add_option("--channel", o.channels,
                      "Shadertoy's form: what a pass's channel reads, e.g. 1=music, image:2=photo.png, "
                      "buffer-a:0=buffer-a (music, keyboard, buffer-a..d, noise, or an image file)")
      ->allow_extra_args(false)
      ->type_name("[PASS:]N=WHAT (repeatable)");
  command->add_option("--level", g.level,
                      "on (default): the pictures see the song at one loudness (-14 LUFS), so loud and quiet "
                      "masters look alike; off: at its own level; album (render of several songs): each song "
                      "as loud against the others as on the album, the album at one loudness. The sound is never changed")
      ->check(CLI::IsMember({"on", "off", "album"}));
  command->add_option("--gain", o.gainDb, "Decibels more (or, negative, less) for what the pictures see, from -40 to 40");
  command->add_option("--lyrics", o.lyrics,
                      "Words over the picture in time with the song: an .lrc (line and word times), .srt, .vtt, "
                      ".ass or .ssa file, or auto: the timed lyrics in the song's tags");
  command->add_option("--change-every", g.changeEvery,
                      "BARS: with a list of pictures, change to the next every this many bars, on a downbeat (default 8)");
  command->add_option("--crossfade", g.crossfade,
                      "BEATS: with a list of pictures, blend one into the next over this many beats (default 1; 0 cuts)");
  command->add_flag("--shuffle", o.shuffle, "With a list of pictures, take them in a shuffled order (see --seed)");
  command->add_option("--seed", g.seed, "The shuffled order's seed: the same seed makes the same order (default 0)");
  command->add_option("--beats-per-bar", o.beatsPerBar, "Beats in a bar, for barPhase and barIndex (default 4)");
  command->add_option("--downbeat", g.downbeat,
                      "SECONDS: the song's first downbeat is the beat nearest this moment (default: found, the "
                      "strongest beat of the first bars)");
  command->add_flag("--verbose", o.verbose, std::string("Also show what the libraries (") + libraries + ") say");
}

void addRenderRunOptions(CLI::App* render, RenderOptions& r, OptionText& g) {
  render->add_option("--part", g.part,
                     "Render part K of N (K/N) of the video, frames exactly as the whole has them, without sound; "
                     "`vrax-studio join` makes the parts one video. sound: the whole video's sound only, encoded "
                     "once, so join only copies");
  render->add_option("--preroll", r.preroll,
                     "Seconds drawn before --from or a part for a picture that reads the frame before (feedback), "
                     "more to be closer to the whole render (default: what the picture says, else 10)")
      ->check(CLI::Range(0.0, 600.0));
  render->add_option("--frames", g.frames, "Render frames A to B (A-B, from 0) of the video as a part, as --part");
  render->add_option("--for", g.use,
                     "A preset: youtube (1920x1080 at 30 fps), reel (1080x1920), square (1080x1080), layer (with "
                     "alpha, for an editor: .mov or .webm), preview (640x360); --size and --fps given still count")
      ->check(CLI::IsMember({"youtube", "reel", "square", "layer", "preview"}));
  render->add_flag("--estimate", r.estimate,
                   "Say in one line how long this render would take on this machine (from a short render of the "
                   "same picture and size) and which size would render in real time; write nothing");
  render->add_option("--save-project", r.saveProject,
                     "Also write these choices as a project file (NAME.vrax.json) that `render NAME.vrax.json` "
                     "renders again");
  render->add_option("--progress", r.progressForm,
                     "text (default): a line a tenth of the way; json: one JSON object a line on standard error "
                     "(done, total, speed, left), for a program following the render")
      ->check(CLI::IsMember({"text", "json"}));
  render->add_flag("--overwrite", r.overwrite, "Replace OUTPUT if it exists");
  render->add_flag("-q,--quiet", r.quiet, "Print nothing but errors");
}

CLI::App* addRender(CLI::App& app, RenderOptions& r, OptionText& g) {
  CLI::App* render = app.add_subcommand("render", "Render a whole song (or a span) to a video or one picture");
  render->add_option("SOUND", r.songs,
                     "Sound file: WAV, FLAC, M4A, MP3, Opus, Ogg, AIFF, a video's sound, ...; several, or an .m3u "
                     "playlist, make one video of them in order (an album: gapless, a chapter and a title each)")
      ->required();
  render->add_option("OUTPUT", r.output,
                     "Video (.mp4, .mkv, .mov: H.264 + AAC; .webm: VP9 + Opus), one picture (.png), or a live "
                     "stream: srt://, udp://, tcp:// (MPEG-TS) or rtmp:// (FLV), H.264 with low delay + AAC, sent "
                     "at the song's pace as a premiere is watched (srt:// as caller and rtmp:// are called again if "
                     "the receiver goes away); - sends MPEG-TS to standard output as fast as the reader takes it");
  render->add_option("--codec", r.codec,
                     "h264, hevc, vp9, av1, prores (in .mov: ProRes 4444 + PCM) or png (in .mov: lossless RGB(A) + PCM, "
                     "the light layer for editors)");
  render->add_option("--preset", r.preset, "The encoder's speed preset (x264/x265: veryfast, slow, ...; vp9: cpu-used)");
  render->add_flag("--transparent", r.transparent,
                   "Keep the picture's alpha (ProRes 4444 in .mov, VP9 in .webm, RGBA in a .png still), for overlays in "
                   "an editor");
  render->add_option("--size", g.size,
                     "Picture size WxH up to 3840x2160, or 360p (a quick preview), 720p, 1080p, 1440p, 4k, portrait (1080x1920), square "
                     "(1080x1080) (default 1920x1080, 1080p)");
  render->add_option("--fps", g.fps, "Frames a second, from 1 to 240, decimals allowed (default " +
                                         std::to_string(defaults::kVideoFps) + ")");
  render->add_option("--from", g.from, "Start at this second (a .png shows the frame there)");
  render->add_option("--to", g.to, "End at this second (default: the end of the sound)");
  render->add_option("--fade-in", r.fadeIn, "Fade picture (from black) and sound in over this many seconds");
  render->add_option("--fade-out", r.fadeOut, "Fade picture (to black) and sound out over this many seconds");
  render->add_option("--crf", g.crf,
                     "Quality, 0 (lossless) to 51 (default " + std::to_string(defaults::kVideoCrf) + ")");
  render->add_option("--flash-guard", g.flashGuard,
                     "on (default): at most three flashes a second (WCAG 2.3.1, ITU-R BT.1702), a faster "
                     "flashing picture eased just enough; off: as drawn")
      ->check(CLI::IsMember({"on", "off"}));
  addSharedOptions(render, r, g, "One of the gallery's pictures by name (see `vrax-studio pictures`)",
                   "FFmpeg, Mesa");
  addRenderRunOptions(render, r, g);
  render->footer(
      "Examples:\n"
      "  vrax-studio render song.flac song.mp4\n"
      "  vrax-studio render song.wav clip.mp4 --size 1080x1920 --fps 30 --from 60 --to 75\n"
      "  vrax-studio render song.m4a video.mp4 --picture waterfall --title auto --fade-in 2 --fade-out 3\n"
      "  vrax-studio render song.ogg still.png --from 42.5 --shaders my-pair\n"
      "  vrax-studio render song.wav reel.mp4 --for reel --picture ring --save-project reel.vrax.json\n"
      "  vrax-studio render reel.vrax.json   # the same video again, from its project file\n"
      "  vrax-studio render song.flac srt://127.0.0.1:9000 --size 720p   # OBS: Media Source, mpegts\n"
      "  vrax-studio render album.m3u album.mp4 --title auto   # a chapter a song, album.chapters.txt");
  return render;
}

CLI::App* addPlay(CLI::App& app, PlayOptions& p, OptionText& g) {
  CLI::App* play = app.add_subcommand("play", "Play a song in a window; shader files reload when saved");
  play->add_option("SOUND", p.sound, "Sound file (default example.wav)");
  play->add_option("--size", g.size,
                   "Window size WxH (default " + std::to_string(defaults::kWindowWidth) + "x" +
                       std::to_string(defaults::kWindowHeight) + ")");
  play->add_option("--latency", p.latencyMs, "Take the spectrum this many ms after the playing position")
      ->check(CLI::Range(-2000.0, 2000.0));
  g.capture = play->add_option("--capture", p.captureDevice,
                               "Draw what a capture device hears (default: a monitor of the output)");
  g.capture->expected(0, 1);
  play->add_flag("--list-devices", p.listDevices, "List the capture devices and exit");
  addSharedOptions(play, p, g, "Start with this gallery picture (N and P step through them)", "OpenAL, ALSA, Mesa");
  play->add_option("--frame-times", p.frameTimes, "Write each frame's work in ms to this file when play ends");
  play->add_option("--osc", p.oscPort,
                   "Take OSC messages on this UDP port: /vrax/picture NAME, /vrax/next, /vrax/previous, "
                   "/vrax/set NAME VALUE, /vrax/gain DB, /vrax/pause")
      ->check(CLI::Range(1, 65535));
  play->add_option("--stream", p.stream,
                   "Also send the show live: srt://, udp://, tcp:// (MPEG-TS) or rtmp:// (FLV), H.264 with low "
                   "delay + AAC; the window shows what is sent, at the stream's rate");
  play->add_option("--fps", g.fps,
                   "The stream's frames a second, from 1 to 240 (default " + std::to_string(defaults::kStreamFps) + ")");
  play->add_flag("--no-window", p.noWindow, "Send the stream without a window (no display needed)");
  play->add_option("--flash-guard", g.flashGuard,
                   "on (default): at most three flashes a second in the stream, as render; off: as drawn")
      ->check(CLI::IsMember({"on", "off"}));
  play->add_option("--preset", p.preset,
                   "x264's speed preset for the stream (default ultrafast: a live show must keep up; veryfast "
                   "where the machine allows)")
      ->check(CLI::IsMember({"ultrafast", "superfast", "veryfast", "faster", "fast", "medium"}));
  play->add_flag("--overwrite", p.overwrite, "Replace the --frame-times file if it exists");
  play->footer(
      "Keys: Space pause, Left/Right seek 5 s, Home start, N/P (Page Down/Up) next/previous picture,\n"
      "L lock/unlock a list's picture, F full screen, S save a PNG to shots/, Esc/Q quit.\n\n"
      "Examples:\n"
      "  vrax-studio play song.flac\n"
      "  vrax-studio play song.wav --shaders my-pair --latency 80\n"
      "  vrax-studio play song.mp3 --picture bars\n"
      "  vrax-studio play --list-devices\n"
      "  vrax-studio play --capture\n"
      "  vrax-studio play --capture --no-window --stream srt://127.0.0.1:9000 --size 720p");
  return play;
}
}  // namespace cli
