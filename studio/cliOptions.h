// cliOptions.h — render's and play's options: each of the option table's
// rows added to the command line where its value goes (as text, OptionText,
// where the settings are worked out after), and checked into settings.
// Private to the command line (cli.cpp); the modules never see it.
//
// Threading: main thread, before anything else starts.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "cli.h"

namespace cli {

// What the options give as text, turned into settings once parsed.
struct OptionText {
  // Empty until given: render and play have different defaults.
  std::string size;
  std::string fps;
  std::string from;
  std::string to;
  std::string length;
  std::string titleAt = "bottom";
  std::string titleColour;
  std::string titleSize;
  std::string titlePlate;
  std::string level = "on";
  std::string crf;
  std::string flashGuard = "on";
  std::string part;    // --part K/N
  std::string frames;  // --frames A-B
  std::string downbeat;
  std::string changeEvery;
  std::string crossfade;
  std::string seed;
  std::string use;  // --for: a preset's name
  CLI::Option* capture = nullptr;
};

// A message as the terminal should show it: what came from a file or a name
// (control bytes, broken UTF-8) escaped; the message's own line breaks kept.
std::string shownMessage(const std::string& message);
// One line a failure: the reason, and where the help is; returns kExitUsage.
int usage(const std::string& message);
// An option given an empty value ("--size ''", often a shell variable that
// was never set) is a mistake, never the default quietly taken.
Status checkNoneEmpty(const CLI::App* command);

// render's and play's options, made from the option table's rows.
CLI::App* addRender(CLI::App& app, RenderOptions& r, OptionText& g);
CLI::App* addPlay(CLI::App& app, PlayOptions& p, OptionText& g);
// Whether a command's options are exactly the table's rows for it (`who`:
// kForRender or kForPlay); the one that differs when not.
Status checkBinding(const CLI::App* command, unsigned who);
// Every value given to a parsed command, each by its row's rule: what a
// value alone may be is said before what the options mean together.
Status checkGivenValues(const CLI::App* command, unsigned who);
// Whether the parsed options make sense together, and why not; the settings filled.
Status checkRender(RenderOptions& r, OptionText g);
Status checkPlay(PlayOptions& p, OptionText g, const CLI::App* play);

}  // namespace cli
