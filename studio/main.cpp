// main.cpp — vrax-studio: the tool for making pictures for music with VRAX
// shader pairs. One command a run: `render`, `play` or `pictures`.
#include <csignal>

#include "base/libraryLog.h"
#include "cli.h"
#include "render.h"

int runPlay(const PlayOptions& options);
int runPictures(const std::string& describe);

int main(int argc, char** argv) {
  // Past a file-size limit a write fails (EFBIG) and is reported like any
  // other failed write, instead of the signal ending the run unannounced.
  std::signal(SIGXFSZ, SIG_IGN);
  CommandLine line;
  if (const std::optional<int> leave = parseCommandLine(argc, argv, line)) {
    return *leave;
  }
  if (line.command == Command::Pictures) {
    return runPictures(line.describe);
  }
  routeLibraryLogs(line.command == Command::Render ? line.render.verbose : line.play.verbose);
  if (line.command == Command::Render) {
    return runRender(line.render);
  }
  return runPlay(line.play);
}
