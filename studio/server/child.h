// child.h — starting the studio again as a child process: from an argument
// list (nothing passes through a shell), in a folder, in its own process
// group, with the signals the server handles itself back at their defaults,
// its standard error into a pipe.
//
// Threading: any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/status.h"

// Starts `program arguments...` in folder, its stderr on toParent.
Result<pid_t> spawnStudio(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& folder, int toParent);

struct ChildEnd {
  int status = 0;         // as waitpid gives it
  std::string lastLine;   // its last "vrax-studio: " line, without the prefix
};

// Runs it to its end; past `seconds` it is ended (SIGKILL) and said so.
Result<ChildEnd> runStudio(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& folder, int seconds);

// A failed child's one line for the page: its own, or how it ended.
std::string failureLine(int status, const std::string& lastLine);
