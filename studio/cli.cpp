// cli.cpp — see cli.h.
#include "cli.h"

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

#include "cliOptions.h"

#ifndef VRAX_VERSION
#define VRAX_VERSION "0"
#endif

using cli::addPlay;
using cli::addRender;
using cli::checkBinding;
using cli::checkGivenValues;
using cli::checkNoneEmpty;
using cli::checkPlay;
using cli::checkRender;
using cli::OptionText;
using cli::shownMessage;
using cli::usage;

const Notes say = [](const std::string& line) { std::cerr << "vrax-studio: " << shownMessage(line) << std::endl; };

int report(int status, const std::string& message) {
  std::cerr << "vrax-studio: " << shownMessage(message) << std::endl;
  return status;
}

namespace {

CLI::App* addPictures(CLI::App& app, CommandLine& out, std::vector<std::string>& sheet, std::string& cell) {
  CLI::App* pictures = app.add_subcommand("pictures", "List the gallery's pictures, one a line with what it shows");
  pictures->add_option("--describe", out.describe, "List one picture's settings: name, GLSL type, default, meaning")
      ->type_name("NAME");
  pictures->add_flag("--palettes", out.palettes, "List the palettes --palette takes, with their colours");
  pictures
      ->add_option("--sheet", sheet,
                   "Draw every picture at three moments of SONG (its quietest passage, an average one, the "
                   "loudest) on one contact sheet, OUT.png")
      ->expected(2)
      ->type_name("SONG OUT.png");
  pictures->add_option("--size", cell, "Each picture's size on the sheet, WxH (default 320x180)");
  pictures->add_flag("--overwrite", out.sheet.overwrite, "Replace OUT.png if it exists");
  return pictures;
}

CLI::App* addJoin(CLI::App& app, JoinOptions& j) {
  CLI::App* join = app.add_subcommand("join", "Make the parts of one render (render --part) the finished video");
  join->add_option("OUTPUT", j.output, "The video: .mp4, .mkv, .mov or .webm, as the parts")->required();
  join->add_option("PART", j.parts, "The parts, in any order")->required();
  join->add_flag("--overwrite", j.overwrite, "Replace OUTPUT if it exists");
  join->add_flag("-q,--quiet", j.quiet, "Print nothing but errors");
  join->add_flag("--verbose", j.verbose,
                 "Say what each part is (which frames, or the sound; its size and pictures) and what FFmpeg says");
  join->footer(
      "Examples:\n"
      "  parallel vrax-studio render song.flac part{}.mkv --part {}/4 --crf 0 ::: 1 2 3 4\n"
      "  vrax-studio join song.mkv part*.mkv");
  return join;
}

// render PROJECT.vrax.json [OUTPUT] [options]: the project's songs and
// options, then what the command line adds (an OUTPUT, --overwrite, ...).
Result<std::vector<std::string>> expandProject(const std::vector<std::string>& given) {
  const std::vector<ProjectOption> table = projectOptionTable();
  Result<Project> project = readProject(given[2], table);
  if (!project) {
    return project.status();
  }
  std::vector<std::string> arguments{given[0], given[1]};
  for (const std::string& argument : projectArguments(project.value(), given[2], table)) {
    arguments.push_back(argument);
  }
  const bool outputGiven = given.size() > 3 && !given[3].empty() && given[3][0] != '-';
  if (!outputGiven && !project.value().output.empty()) {
    const std::filesystem::path folder = std::filesystem::path(given[2]).parent_path();
    const std::filesystem::path output(project.value().output);
    arguments.push_back(output.is_absolute() || folder.empty() ? output.string() : (folder / output).string());
  }
  arguments.insert(arguments.end(), given.begin() + 3, given.end());
  return arguments;
}

// The options given that make the video, as a project holds them: what
// --save-project writes and what a part's record compares.
std::optional<int> keepProject(const CLI::App* render, RenderOptions& r) {
  if (!r.saveProject.empty() && !isProjectFile(r.saveProject)) {
    return usage("--save-project must name a NAME.vrax.json file (got \"" + r.saveProject + "\")");
  }
  r.projectTable = projectOptionTable();
  r.project.songs = r.songs;
  r.project.output = r.output;
  for (const CLI::Option* option : render->get_options()) {
    const OptionRow* row = findOptionRow(kForRender, option->get_single_name());
    if (option->get_positional() || option->count() == 0 || row == nullptr || row->runOnly) {
      continue;
    }
    std::vector<std::string> values = option->results();
    if (option->get_expected_max() == 0) {
      values = {"true"};
    }
    r.project.options.emplace_back(option->get_single_name(), values);
  }
  return std::nullopt;
}

CLI::App* addServe(CLI::App& app, ServeOptions& o) {
  CLI::App* serve = app.add_subcommand("serve", "The studio as a page in a browser: songs, pictures, previews, renders");
  serve->add_option("FOLDER", o.folder, "The folder of songs the page works in; videos are written there (default .)");
  serve->add_option("--port", o.port, "The port (default 8765; 0: any free one)")->check(CLI::Range(0, 65535));
  serve->add_option("--host", o.host,
                    "The address to listen on (default 127.0.0.1: this machine only; another lets others on the "
                    "network in, with the address's token)");
  serve->add_flag("--open", o.open, "Open the page in the desktop's browser");
  serve->footer(
      "Prints the page's address, http://127.0.0.1:PORT/?token=..., on a line of its own; every request needs\n"
      "the token. Serves until interrupted (Ctrl-C).\n\n"
      "Examples:\n"
      "  vrax-studio serve ~/Music/single --open\n"
      "  vrax-studio serve . --port 9000");
  return serve;
}

// pictures: a list, a picture's settings, the palettes, or a contact sheet.
std::optional<int> checkPictures(CommandLine& out, const std::vector<std::string>& sheet, const std::string& cell) {
  out.command = Command::Pictures;
  out.wantsSheet = !sheet.empty();
  if (out.wantsSheet) {
    out.sheet.song = sheet[0];
    out.sheet.output = sheet[1];
  }
  if (!cell.empty() && (!out.wantsSheet || !parseSize(cell, out.sheet.cellWidth, out.sheet.cellHeight) ||
                        out.sheet.cellWidth < 64 || out.sheet.cellHeight < 36 ||
                        out.sheet.cellWidth > 1920 || out.sheet.cellHeight > 1080)) {
    return usage(out.wantsSheet ? "--size for a sheet is each picture's, 64x36 to 1920x1080 (got \"" + cell + "\")"
                                : "--size is for --sheet");
  }
  if (out.sheet.overwrite && !out.wantsSheet) {
    return usage("--overwrite is for --sheet");
  }
  if (out.wantsSheet && !out.describe.empty()) {
    return usage("--sheet and --describe are two different lists; give one");
  }
  return std::nullopt;
}

}  // namespace

// The command line (a project file's arguments in place of its name) parsed
// into the options; something to leave with when it cannot be.
std::optional<int> parseArguments(CLI::App& app, int argc, char** argv) {
  std::vector<std::string> given(argv, argv + argc);
  if (argc > 2 && given[1] == "render" && isProjectFile(given[2])) {
    Result<std::vector<std::string>> expanded = expandProject(given);
    if (!expanded) {
      return report(kExitUsage, expanded.why());
    }
    given = expanded.value();
  }
  // CLI11 takes the arguments after the program's name, last first.
  std::vector<std::string> reversed(given.rbegin(), given.rend() - 1);
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // CLI11's text, in our one-line form.
    std::string what = e.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    return usage(what);
  }
  return std::nullopt;
}

namespace {

// A command this program has, and render's and play's options the table's.
std::optional<int> checkCommand(const CLI::App* render, const CLI::App* play, int argc, char** argv) {
  // CLI11 would only say a subcommand is required.
  const std::string first = argc > 1 ? argv[1] : "";
  if (argc > 1 && first[0] != '-' && first != "render" && first != "play" && first != "pictures" && first != "join" &&
      first != "serve") {
    return usage("unknown command \"" + first + "\"; the commands are render, play, pictures, join and serve");
  }
  for (const auto& [command, who] : {std::pair<const CLI::App*, unsigned>{render, kForRender}, {play, kForPlay}}) {
    if (const Status bound = checkBinding(command, who); !bound) {
      return report(kExitFailure, bound.why());
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> parseCommandLine(int argc, char** argv, CommandLine& out) {
  CLI::App app{"vrax-studio - make pictures for music with VRAX shader pairs", "vrax-studio"};
  app.set_version_flag("--version", std::string("vrax-studio ") + VRAX_VERSION);
  app.require_subcommand(1);
  app.footer(
      "Shaders: a folder holding Quad.vert.glsl and Quad.frag.glsl; without --shaders, \"Shaders\" in the\n"
      "current folder, else the installed pair (here: " +
      (defaultShaderDir().empty() ? std::string("none found") : defaultShaderDir()) +
      ").\n\n"
      "Exit status: 0 done, 1 runtime failure, 2 usage error, 130 interrupted.");
  OptionText renderText;
  OptionText playText;
  CLI::App* render = addRender(app, out.render, renderText);
  CLI::App* play = addPlay(app, out.play, playText);
  std::vector<std::string> sheet;
  std::string cell;
  CLI::App* pictures = addPictures(app, out, sheet, cell);
  CLI::App* join = addJoin(app, out.join);
  CLI::App* serve = addServe(app, out.serve);
  if (const std::optional<int> leave = checkCommand(render, play, argc, argv)) {
    return *leave;
  }
  if (const std::optional<int> leave = parseArguments(app, argc, argv)) {
    return *leave;
  }
  for (const CLI::App* command : {render, play, pictures, join, serve}) {
    if (const Status filled = checkNoneEmpty(command); !filled) {
      return usage(filled.why());
    }
  }
  for (const auto& [command, who] : {std::pair<const CLI::App*, unsigned>{render, kForRender}, {play, kForPlay}}) {
    if (const Status taken = checkGivenValues(command, who); !taken) {
      return usage(taken.why());
    }
  }
  if (pictures->parsed()) {
    return checkPictures(out, sheet, cell);
  }
  if (join->parsed()) {
    out.command = Command::Join;
    return std::nullopt;
  }
  if (serve->parsed()) {
    out.command = Command::Serve;
    return std::nullopt;
  }
  out.command = render->parsed() ? Command::Render : Command::Play;
  const Status checked =
      render->parsed() ? checkRender(out.render, renderText) : checkPlay(out.play, playText, play);
  if (!checked) {
    return usage(checked.why());
  }
  return render->parsed() ? keepProject(render, out.render) : std::nullopt;
}
