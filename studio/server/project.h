// project.h — a project file (NAME.vrax.json): one video's songs, picture
// and options, written by the page or by `render --save-project`, rendered
// by `render NAME.vrax.json`.
//
// The form (version 1):
//   {"vrax-project": 1,
//    "songs": ["song.flac"],          // relative to the project file's folder
//    "output": "song.mp4",            // optional; the same
//    "options": {"picture": "ring", "set": ["ringColour=#ff8800"], "size": "1080p", "fps": 30,
//                "transparent": true}}
// What "options" may hold is render's own option table (the long names,
// without the dashes): a flag takes true or false, an option given many
// times a list, any other text or a number. Options about one run rather
// than the video (--overwrite, --quiet, --part, ...) are refused there.
//
// Threading: plain functions; any thread.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"

// One row of render's option table, as a project sees it.
struct ProjectOption {
  enum Kind { Flag, One, Many };
  std::string name;  // "size", "set", "transparent"
  Kind kind = One;
  bool runOnly = false;  // about this run, not the video: never in a project
  // Whether one value is one the option takes, in the command line's words;
  // empty: any. A project is refused by it as it is read, before a render.
  std::function<Status(const std::string&)> check;
};

struct Project {
  std::vector<std::string> songs;  // as the file says them
  std::string output;              // "" when the file names none
  // In the file's order; a flag's value is "true" or "false".
  std::vector<std::pair<std::string, std::vector<std::string>>> options;
};

// Reads and checks a project file: every field known and of its type.
Result<Project> readProject(const std::string& path, const std::vector<ProjectOption>& table);

// The same from text (a page's request); `where` names it in messages.
Result<Project> projectFromText(const std::string& text, const std::string& where,
                                const std::vector<ProjectOption>& table);

// render's arguments for a project read from path: the songs and output
// resolved against the project's folder, then each option.
std::vector<std::string> projectArguments(const Project& project, const std::string& path,
                                          const std::vector<ProjectOption>& table);

// Writes project to path at once or not at all (a hidden file renamed);
// songs and output are made relative to path's folder.
Status writeProject(const std::string& path, const Project& project, const std::vector<ProjectOption>& table,
                    bool overwrite);

// Whether a file name is a project's: NAME.vrax.json.
bool isProjectFile(const std::string& path);
