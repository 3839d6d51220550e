// cli.h — the studio's command line: `render` and `play`, their options,
// checked and turned into plain settings.
//
// parseCommandLine never exits: it prints help, the version or a usage error
// itself and returns the status to leave with, or -1 to go on.
//
// Threading: main thread, before anything else starts.
#pragma once

#include <string>
#include <vector>

#include "frameClock.h"
#include "title.h"

enum class Command { Render, Play, Pictures };

struct RenderOptions {
  std::string sound;
  std::string output;
  std::string shaders;
  int width = 800;
  int height = 600;
  Rational fps{60, 1};
  bool hasFrom = false;
  Rational from{0, 1};
  bool hasTo = false;
  Rational to{0, 1};
  int crf = 18;
  bool overwrite = false;
  bool quiet = false;
  bool verbose = false;
  std::vector<std::string> images;
  std::string picture;  // a gallery picture by name, instead of --shaders
  double fadeIn = 0;    // seconds
  double fadeOut = 0;
  std::string codec;    // "" for the container's default
  std::string preset;
  bool transparent = false;
  std::string title;  // "auto": from the tags
  TitlePlace titleAt = TitlePlace::Bottom;
  std::string font;  // "" for the system's sans-serif
};

struct PlayOptions {
  std::string sound = "example.wav";
  std::string shaders;
  int width = 800;
  int height = 600;
  double latencyMs = 0.0;
  bool hasLatency = false;
  bool capture = false;
  std::string captureDevice;  // empty: the best default
  bool listDevices = false;
  bool verbose = false;
  std::vector<std::string> images;
  std::string picture;
  std::string frameTimes;  // a file for each frame's work in ms
  bool overwrite = false;  // of the frame times file
  std::string title;       // "auto": from the tags
  TitlePlace titleAt = TitlePlace::Bottom;
  std::string font;
};

struct CommandLine {
  Command command = Command::Render;
  RenderOptions render;
  PlayOptions play;
};

// Exit statuses shared by every command.
constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

int parseCommandLine(int argc, char** argv, CommandLine& out);

// Prints "vrax-studio: MESSAGE" on standard error and returns status, so a
// command can end with `return report(kExitFailure, why);`.
int report(int status, const std::string& message);

// Reads "WxH". False for anything else or a side below 1.
bool parseSize(const std::string& text, int& width, int& height);

// The shader folder used when --shaders is not given: "Shaders" here, the
// installed pair, or the source tree's when run from the build tree. "" when
// there is none; noShaderDirMessage then says where it looked.
std::string defaultShaderDir();
std::string noShaderDirMessage();
// Where the shipped `folder` (Shaders, pictures) may be: the installed share
// folder beside the program, and the source tree's when run from its build tree.
std::vector<std::string> shippedPlaces(const std::string& folder);
