// optionTable.cpp — see optionTable.h. The rows, in the order the help lists
// them: render's own, play's own, the options both take, then render's
// about one run and play's others.
#include "optionTable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/defaults.h"
#include "optionValues.h"
#include "picture/multipass.h"
#include "picture/title.h"

namespace ov = optionValues;

namespace {

// A row as the table below writes it: the names and help, then what differs
// from an option of one value with no rule.
struct Row {
  OptionRow row;
  Row(unsigned commands, std::string names, std::string help) {
    row.commands = commands;
    row.names = std::move(names);
    row.help = std::move(help);
  }
  Row& flag() {
    row.kind = ProjectOption::Flag;
    return *this;
  }
  Row& many(std::string typeName) {
    row.kind = ProjectOption::Many;
    row.typeName = std::move(typeName);
    return *this;
  }
  Row& fallback(std::string value) {
    row.fallback = std::move(value);
    return *this;
  }
  Row& choices(std::vector<std::string> values) {
    row.choices = std::move(values);
    return *this;
  }
  Row& number(std::string what, double low, double high, bool whole = false) {
    row.ranged = true;
    row.what = std::move(what);
    row.low = low;
    row.high = high;
    row.whole = whole;
    return *this;
  }
  Row& rule(Status (*check)(const std::string&)) {
    row.rule = check;
    return *this;
  }
  Row& runOnly() {
    row.runOnly = true;
    return *this;
  }
  Row& typeName(std::string name) {
    row.typeName = std::move(name);
    return *this;
  }
  Row& valueOptional() {
    row.valueOptional = true;
    return *this;
  }
  Row& required() {
    row.required = true;
    return *this;
  }
};

// The rules: each value alone, through the reader the command line uses.
Status sizeRule(const std::string& v) {
  int width = 0;
  int height = 0;
  return ov::readSize(v, width, height);
}
Status fpsRule(const std::string& v) {
  Rational fps;
  bool rounded = false;
  return ov::readFps(v, fps, rounded);
}
Status crfRule(const std::string& v) {
  int crf = 0;
  return ov::readCrf(v, crf);
}
Status fromRule(const std::string& v) {
  Rational t;
  return ov::readSeconds("--from", v, t);
}
Status toRule(const std::string& v) {
  Rational t;
  return ov::readSeconds("--to", v, t);
}
Status lengthRule(const std::string& v) {
  double s = 0;
  return ov::readLength(v, s);
}
Status titleColourRule(const std::string& v) {
  std::array<float, 3> colour{};
  return ov::readTitleColour(v, colour);
}
Status titleSizeRule(const std::string& v) {
  double size = 0;
  return ov::readTitleSize(v, size);
}
Status titlePlateRule(const std::string& v) {
  std::array<float, 3> colour{};
  float opacity = 0;
  return ov::readTitlePlate(v, colour, opacity);
}
Status channelRule(const std::string& v) {
  const Result<ChannelSetting> setting = parseChannelSetting(v, "");
  return setting ? Status() : Status::failure("--channel " + v + ": " + setting.why());
}
Status changeEveryRule(const std::string& v) {
  int bars = 0;
  return ov::readChangeEvery(v, bars);
}
Status seedRule(const std::string& v) {
  uint32_t seed = 0;
  return ov::readSeed(v, seed);
}
Status partRule(const std::string& v) {
  ov::PartText part;
  return ov::readPart(v, part);
}
Status framesRule(const std::string& v) {
  ov::PartText frames;
  return ov::readFrames(v, frames);
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::vector<Row> renderOwn() {
  return {
      Row(kForRender, "SOUND",
          "Sound file: WAV, FLAC, M4A, MP3, Opus, Ogg, AIFF, a video's sound, ...; several, or an .m3u "
          "playlist, make one video of them in order (an album: gapless, a chapter and a title each)")
          .many("")
          .required(),
      Row(kForRender, "OUTPUT",
          "Video (.mp4, .mkv, .mov: H.264 + AAC; .webm: VP9 + Opus), one picture (.png), or a live "
          "stream: srt://, udp://, tcp:// (MPEG-TS) or rtmp:// (FLV), H.264 with low delay + AAC, sent "
          "at the song's pace as a premiere is watched (srt:// as caller and rtmp:// are called again if "
          "the receiver goes away); - sends MPEG-TS to standard output as fast as the reader takes it"),
      Row(kForRender, "--codec",
          "h264, hevc, vp9, av1, prores (in .mov: ProRes 4444 + PCM) or png (in .mov: lossless RGB(A) + PCM, "
          "the light layer for editors)"),
      Row(kForRender, "--preset", "The encoder's speed preset (x264/x265: veryfast, slow, ...; vp9: cpu-used)"),
      Row(kForRender, "--transparent",
          "Keep the picture's alpha (ProRes 4444 in .mov, VP9 in .webm, RGBA in a .png still), for overlays in "
          "an editor")
          .flag(),
      Row(kForRender, "--size",
          "Picture size WxH up to 3840x2160, or 360p (a quick preview), 720p, 1080p, 1440p, 4k, portrait (1080x1920), "
          "square (1080x1080) (default 1920x1080, 1080p)")
          .fallback(std::to_string(defaults::kVideoWidth) + "x" + std::to_string(defaults::kVideoHeight))
          .rule(sizeRule),
      Row(kForRender, "--fps",
          "Frames a second, from 1 to 240, decimals allowed (default " + std::to_string(defaults::kVideoFps) + ")")
          .fallback(std::to_string(defaults::kVideoFps))
          .rule(fpsRule),
      Row(kForRender, "--from", "Start at this second (a .png shows the frame there)").fallback("0").rule(fromRule),
      Row(kForRender, "--to", "End at this second (default: the end of the sound)").rule(toRule),
      Row(kForRender, "--fade-in", "Fade picture (from black) and sound in over this many seconds")
          .fallback("0")
          .number("seconds", 0, 3600),
      Row(kForRender, "--fade-out", "Fade picture (to black) and sound out over this many seconds")
          .fallback("0")
          .number("seconds", 0, 3600),
      Row(kForRender, "--crf", "Quality, 0 (lossless) to 51 (default " + std::to_string(defaults::kVideoCrf) + ")")
          .fallback(std::to_string(defaults::kVideoCrf))
          .rule(crfRule),
      Row(kForRender, "--flash-guard",
          "on (default): at most three flashes a second (WCAG 2.3.1, ITU-R BT.1702), a faster "
          "flashing picture eased just enough; off: as drawn")
          .fallback("on")
          .choices({"on", "off"}),
  };
}

std::vector<Row> playOwn() {
  return {
      Row(kForPlay, "SOUND", "Sound file (default example.wav)").fallback(defaults::kPlaySound),
      Row(kForPlay, "--size",
          "Window size WxH (default " + std::to_string(defaults::kWindowWidth) + "x" +
              std::to_string(defaults::kWindowHeight) + ")")
          .fallback(std::to_string(defaults::kWindowWidth) + "x" + std::to_string(defaults::kWindowHeight))
          .rule(sizeRule),
      Row(kForPlay, "--latency", "Take the spectrum this many ms after the playing position")
          .fallback("0")
          .number("a number of milliseconds", -2000, 2000),
      Row(kForPlay, "--capture", "Draw what a capture device hears (default: a monitor of the output)").valueOptional(),
      Row(kForPlay, "--list-devices", "List the capture devices and exit").flag(),
  };
}

std::vector<Row> sharedPicture() {
  return {
      Row(kForBoth, "--shaders",
          "Folder with Quad.vert.glsl and Quad.frag.glsl, or Shadertoy's form: a .glsl file, a folder "
          "of passes (image.glsl, buffer-a.glsl ..., channels.txt) or the site's .json export"),
      Row(kForRender, "--picture", "One of the gallery's pictures by name (see `vrax-studio pictures`)"),
      Row(kForPlay, "--picture", "Start with this gallery picture (N and P step through them)"),
      Row(kForBoth, "--length",
          "Seconds of sound a shader's Sound pass writes where it is the song, with no SOUND given "
          "(default 60, or --to where later; up to 3600)")
          .rule(lengthRule),
      Row(kForBoth, "--image", "A picture (PNG, JPEG) the pair reads as image0, image1, ... (up to 4)")
          .many("FILE (repeatable)"),
      Row(kForBoth, "--background",
          "A picture (PNG, JPEG) behind the picture, scaled to cover the frame; seen where the "
          "picture leaves its background see-through"),
      Row(kForBoth, "--logo", "A picture (PNG with alpha, JPEG) in the top-right corner, over the picture"),
      Row(kForBoth, "--title", "Text over the picture; \"auto\" for \"Artist – Title\" from the tags"),
      Row(kForBoth, "--title-at", "top, bottom (default) or centre")
          .fallback("bottom")
          .choices({"top", "bottom", "centre", "center"}),
      Row(kForBoth, "--title-for", "Show the title for this many seconds, then fade it out over one").number("seconds", 0, 36000),
      Row(kForBoth, "--title-colour", "The title's colour: #rrggbb, #rgb or a name (default white)")
          .fallback("white")
          .rule(titleColourRule),
      Row(kForBoth, "--title-size", "The title's size against the default (6% of the shorter side), from 0.5 to 2.5")
          .fallback("1")
          .rule(titleSizeRule),
      Row(kForBoth, "--title-plate",
          "A rounded plate behind the title: a colour, with @OPACITY from 0 to 1 (e.g. black@0.6, "
          "#fff@0.8; default opacity 0.6)")
          .rule(titlePlateRule),
      Row(kForBoth, "--subtitle", "A second, smaller line under the title (\"out now\", the album)"),
      Row(kForBoth, "--font", "Font file for the title (default: the system's sans-serif)"),
  };
}

std::vector<Row> sharedLook() {
  return {
      Row(kForBoth, "--set",
          "A picture's setting, e.g. --picture ring --set ringColour=orange, --picture bars --set "
          "lowColour=#0cf (colours: #rrggbb, #rgb or a CSS name; see pictures --describe)")
          .many("NAME=VALUE (repeatable)"),
      Row(kForBoth, "--palette",
          "Every picture's colours from one palette: sunset, ocean, neon, forest, mono (see pictures "
          "--palettes); --set still changes one colour"),
      Row(kForBoth, "--channel",
          "Shadertoy's form: what a pass's channel reads, e.g. 1=music, image:2=photo.png, "
          "buffer-a:0=buffer-a (music, keyboard, buffer-a..d, noise, or an image file)")
          .many("[PASS:]N=WHAT (repeatable)")
          .rule(channelRule),
      Row(kForBoth, "--level",
          "on (default): the pictures see the song at one loudness (-14 LUFS), so loud and quiet "
          "masters look alike; off: at its own level; album (render of several songs): each song "
          "as loud against the others as on the album, the album at one loudness. The sound is never changed")
          .fallback("on")
          .choices({"on", "off", "album"}),
      Row(kForBoth, "--gain", "Decibels more (or, negative, less) for what the pictures see, from -40 to 40")
          .fallback("0")
          .number("decibels", -40, 40),
      Row(kForBoth, "--lyrics",
          "Words over the picture in time with the song: an .lrc (line and word times), .srt, .vtt, "
          ".ass or .ssa file, or auto: the timed lyrics in the song's tags"),
      Row(kForBoth, "--change-every",
          "BARS: with a list of pictures, change to the next every this many bars, on a downbeat (default 8)")
          .fallback(std::to_string(defaults::kChangeEveryBars))
          .rule(changeEveryRule),
      Row(kForBoth, "--crossfade",
          "BEATS: with a list of pictures, blend one into the next over this many beats (default 1; 0 cuts)")
          .fallback(number(defaults::kCrossfadeBeats))
          .number("beats", 0, 64),
      Row(kForBoth, "--shuffle", "With a list of pictures, take them in a shuffled order (see --seed)").flag(),
      Row(kForBoth, "--seed", "The shuffled order's seed: the same seed makes the same order (default 0)")
          .fallback("0")
          .rule(seedRule),
      Row(kForBoth, "--beats-per-bar", "Beats in a bar, for barPhase and barIndex (default 4)")
          .fallback(std::to_string(defaults::kBeatsPerBar))
          .number("", 1, 16, true),
      Row(kForBoth, "--downbeat",
          "SECONDS: the song's first downbeat is the beat nearest this moment (default: found, the "
          "strongest beat of the first bars)")
          .number("seconds", 0, 36000),
      Row(kForRender, "--verbose", "Also show what the libraries (FFmpeg, Mesa) say").flag().runOnly(),
      Row(kForPlay, "--verbose", "Also show what the libraries (OpenAL, ALSA, Mesa) say").flag().runOnly(),
  };
}

std::vector<Row> renderRun() {
  return {
      Row(kForRender, "--part",
          "Render part K of N (K/N) of the video, frames exactly as the whole has them, without sound; "
          "`vrax-studio join` makes the parts one video. sound: the whole video's sound only, encoded "
          "once, so join only copies")
          .rule(partRule)
          .runOnly(),
      Row(kForRender, "--preroll",
          "Seconds drawn before --from or a part for a picture that reads the frame before (feedback), "
          "more to be closer to the whole render (default: what the picture says, else 10)")
          .number("seconds", 0, 600),
      Row(kForRender, "--frames", "Render frames A to B (A-B, from 0) of the video as a part, as --part")
          .rule(framesRule)
          .runOnly(),
      Row(kForRender, "--for",
          "A preset: youtube (1920x1080 at 30 fps), reel (1080x1920), square (1080x1080), layer (with "
          "alpha, for an editor: .mov or .webm), preview (640x360); --size and --fps given still count")
          .choices({"youtube", "reel", "square", "layer", "preview"}),
      Row(kForRender, "--estimate",
          "Say in one line how long this render would take on this machine (from a short render of the "
          "same picture and size) and which size would render in real time; write nothing")
          .flag()
          .runOnly(),
      Row(kForRender, "--save-project",
          "Also write these choices as a project file (NAME.vrax.json) that `render NAME.vrax.json` "
          "renders again")
          .runOnly(),
      Row(kForRender, "--progress",
          "text (default): a line a tenth of the way; json: one JSON object a line on standard error "
          "(done, total, speed, left), for a program following the render")
          .fallback("text")
          .choices({"text", "json"})
          .runOnly(),
      Row(kForRender, "--overwrite", "Replace OUTPUT if it exists").flag().runOnly(),
      Row(kForRender, "-q,--quiet", "Print nothing but errors").flag().runOnly(),
  };
}

std::vector<Row> playOthers() {
  return {
      Row(kForPlay, "--frame-times", "Write each frame's work in ms to this file when play ends").runOnly(),
      Row(kForPlay, "--osc",
          "Take OSC messages on this UDP port: /vrax/picture NAME, /vrax/next, /vrax/previous, "
          "/vrax/set NAME VALUE, /vrax/gain DB, /vrax/pause")
          .number("a UDP port", 1, 65535, true)
          .runOnly(),
      Row(kForPlay, "--stream",
          "Also send the show live: srt://, udp://, tcp:// (MPEG-TS) or rtmp:// (FLV), H.264 with low "
          "delay + AAC; the window shows what is sent, at the stream's rate"),
      Row(kForPlay, "--fps",
          "The stream's frames a second, from 1 to 240 (default " + std::to_string(defaults::kStreamFps) + ")")
          .fallback(std::to_string(defaults::kStreamFps))
          .rule(fpsRule),
      Row(kForPlay, "--no-window", "Send the stream without a window (no display needed)").flag().runOnly(),
      Row(kForPlay, "--flash-guard", "on (default): at most three flashes a second in the stream, as render; off: as drawn")
          .fallback("on")
          .choices({"on", "off"}),
      Row(kForPlay, "--preset",
          "x264's speed preset for the stream (default ultrafast: a live show must keep up; veryfast "
          "where the machine allows)")
          .fallback(defaults::kStreamPreset)
          .choices({"ultrafast", "superfast", "veryfast", "faster", "fast", "medium"}),
      Row(kForPlay, "--overwrite", "Replace the --frame-times file if it exists").flag().runOnly(),
  };
}

}  // namespace

std::string OptionRow::name() const {
  const size_t comma = names.rfind(',');
  std::string last = comma == std::string::npos ? names : names.substr(comma + 1);
  return last.compare(0, 2, "--") == 0 ? last.substr(2) : last;
}

bool OptionRow::positional() const { return !names.empty() && names[0] != '-'; }

const std::vector<OptionRow>& optionTable() {
  static const std::vector<OptionRow> table = [] {
    std::vector<OptionRow> rows;
    for (const std::vector<Row>& part : {renderOwn(), playOwn(), sharedPicture(), sharedLook(), renderRun(), playOthers()}) {
      for (const Row& r : part) {
        rows.push_back(r.row);
      }
    }
    return rows;
  }();
  return table;
}

const OptionRow* findOptionRow(unsigned command, const std::string& name) {
  const std::vector<OptionRow>& table = optionTable();
  const auto found = std::find_if(table.begin(), table.end(), [&](const OptionRow& row) {
    return (row.commands & command) != 0 && row.name() == name;
  });
  return found == table.end() ? nullptr : &*found;
}

Status readOptionNumber(const std::string& name, const std::string& text, double& out) {
  const OptionRow* row = findOptionRow(kForBoth, name);
  if (row == nullptr || !row->ranged) {
    return Status::failure("--" + name + " is not a number's option");
  }
  return optionValues::readNumber(("--" + name).c_str(), row->what.c_str(), row->low, row->high, text, out, row->whole);
}

Status checkOptionValue(const OptionRow& row, const std::string& value) {
  const std::string shown = row.positional() ? row.name() : "--" + row.name();
  if (row.kind == ProjectOption::Flag) {
    return value == "true" || value == "false" ? Status()
                                               : Status::failure(shown + " is a flag: true or false (got \"" + value + "\")");
  }
  if (!row.choices.empty() && std::find(row.choices.begin(), row.choices.end(), value) == row.choices.end()) {
    std::string listed;
    for (const std::string& choice : row.choices) {
      listed += (listed.empty() ? "" : ", ") + choice;
    }
    return Status::failure(shown + " is one of " + listed + " (got \"" + value + "\")");
  }
  if (row.ranged) {
    double number = 0;
    if (const Status read = optionValues::readNumber(shown.c_str(), row.what.c_str(), row.low, row.high, value, number,
                                                     row.whole);
        !read) {
      return read;
    }
  }
  return row.rule == nullptr ? Status() : row.rule(value);
}

std::vector<ProjectOption> projectOptionTable() {
  // CLI11's own --help comes first, about one run as the others.
  std::vector<ProjectOption> table{{"help", ProjectOption::Flag, true, nullptr}};
  for (const OptionRow& row : optionTable()) {
    if ((row.commands & kForRender) != 0 && !row.positional()) {
      const OptionRow* kept = &row;  // the table lives as long as the program
      table.push_back({row.name(), row.kind, row.runOnly,
                       [kept](const std::string& value) { return checkOptionValue(*kept, value); }});
    }
  }
  return table;
}
