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
#include <type_traits>

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

namespace {

// Adds one command's rows of the option table, each bound where its value
// goes: the names, help, allowed values and shape all come from the row.
class Binder {
 public:
  Binder(CLI::App* command, unsigned who) : command_(command), who_(who) {}

  template <typename T>
  CLI::Option* operator()(const std::string& name, T& target) {
    const OptionRow* row = findOptionRow(who_, name);
    // An option the table lacks still parses, with no help; checkBinding
    // names it, so the two never drift apart unseen.
    const std::string names = row != nullptr ? row->names : "--" + name;
    const std::string help = row != nullptr ? row->help : "";
    CLI::Option* option = nullptr;
    if constexpr (std::is_same_v<T, bool>) {
      option = command_->add_flag(names, target, help);
    } else {
      option = command_->add_option(names, target, help);
    }
    if (row != nullptr) {
      shape(*row, option);
    }
    return option;
  }

 private:
  static void shape(const OptionRow& row, CLI::Option* option) {
    if (!row.choices.empty()) {
      option->check(CLI::IsMember(row.choices));
    }
    if (row.kind == ProjectOption::Many && !row.positional()) {
      option->allow_extra_args(false);
    }
    if (!row.typeName.empty()) {
      option->type_name(row.typeName);
    }
    if (row.valueOptional) {
      option->expected(0, 1);
    }
    if (row.required) {
      option->required();
    }
  }

  CLI::App* command_;
  unsigned who_;
};

// The options render and play share: the picture, its images and title, the libraries' noise.
void addSharedOptions(Binder& bind, SharedOptions& o, OptionText& g) {
  bind("shaders", o.shaders);
  bind("picture", o.picture);
  bind("length", g.length);
  bind("image", o.images);
  bind("background", o.background);
  bind("logo", o.logo);
  bind("title", o.title);
  bind("title-at", g.titleAt);
  bind("title-for", o.titleFor);
  bind("title-colour", g.titleColour);
  bind("title-size", g.titleSize);
  bind("title-plate", g.titlePlate);
  bind("subtitle", o.titleLook.subtitle);
  bind("font", o.font);
  bind("set", o.sets);
  bind("palette", o.palette);
  bind("channel", o.channels);
  bind("level", g.level);
  bind("gain", o.gainDb);
  bind("lyrics", o.lyrics);
  bind("change-every", g.changeEvery);
  bind("crossfade", g.crossfade);
  bind("shuffle", o.shuffle);
  bind("seed", g.seed);
  bind("beats-per-bar", o.beatsPerBar);
  bind("downbeat", g.downbeat);
  bind("verbose", o.verbose);
}

}  // namespace

CLI::App* addRender(CLI::App& app, RenderOptions& r, OptionText& g) {
  CLI::App* render = app.add_subcommand("render", "Render a whole song (or a span) to a video or one picture");
  Binder bind(render, kForRender);
  bind("SOUND", r.songs);
  bind("OUTPUT", r.output);
  bind("codec", r.codec);
  bind("preset", r.preset);
  bind("transparent", r.transparent);
  bind("size", g.size);
  bind("fps", g.fps);
  bind("from", g.from);
  bind("to", g.to);
  bind("fade-in", r.fadeIn);
  bind("fade-out", r.fadeOut);
  bind("crf", g.crf);
  bind("flash-guard", g.flashGuard);
  addSharedOptions(bind, r, g);
  bind("part", g.part);
  bind("preroll", r.preroll);
  bind("frames", g.frames);
  bind("for", g.use);
  bind("estimate", r.estimate);
  bind("save-project", r.saveProject);
  bind("progress", r.progressForm);
  bind("overwrite", r.overwrite);
  bind("quiet", r.quiet);
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
  Binder bind(play, kForPlay);
  bind("SOUND", p.sound);
  bind("size", g.size);
  bind("latency", p.latencyMs);
  g.capture = bind("capture", p.captureDevice);
  bind("list-devices", p.listDevices);
  addSharedOptions(bind, p, g);
  bind("frame-times", p.frameTimes);
  bind("osc", p.oscPort);
  bind("stream", p.stream);
  bind("fps", g.fps);
  bind("no-window", p.noWindow);
  bind("flash-guard", g.flashGuard);
  bind("preset", p.preset);
  bind("overwrite", p.overwrite);
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

Status checkBinding(const CLI::App* command, unsigned who) {
  std::vector<std::string> bound;
  for (const CLI::Option* option : command->get_options()) {
    const std::string name = option->get_single_name();
    if (name == "help") {
      continue;
    }
    if (findOptionRow(who, name) == nullptr) {
      return Status::failure(command->get_name() + " has an option the table lacks: " + name);
    }
    bound.push_back(name);
  }
  for (const OptionRow& row : optionTable()) {
    if ((row.commands & who) != 0 && std::find(bound.begin(), bound.end(), row.name()) == bound.end()) {
      return Status::failure(command->get_name() + " lacks the table's option " + row.name());
    }
  }
  return Status();
}

Status checkGivenValues(const CLI::App* command, unsigned who) {
  if (!command->parsed()) {
    return Status();
  }
  for (const CLI::Option* option : command->get_options()) {
    const OptionRow* row = findOptionRow(who, option->get_single_name());
    if (row == nullptr || row->kind == ProjectOption::Flag) {
      continue;
    }
    for (const std::string& value : option->results()) {
      if (row->valueOptional && value.empty()) {
        continue;
      }
      if (const Status taken = checkOptionValue(*row, value); !taken) {
        return taken;
      }
    }
  }
  return Status();
}

}  // namespace cli
