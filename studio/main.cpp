// main.cpp — vrax-studio: the tool for making pictures for music with VRAX
// shader pairs. One command a run: `render` or `play`.
#include "cli.h"
#include "gallery.h"
#include "libraryLog.h"
#include "render.h"

int runPlay(const PlayOptions& options);

int main(int argc, char** argv) {
  CommandLine line;
  const int status = parseCommandLine(argc, argv, line);
  if (status >= 0) {
    return status;
  }
  if (line.command == Command::Pictures) {
    return listGallery();
  }
  routeLibraryLogs(line.command == Command::Render ? line.render.verbose : line.play.verbose);
  if (line.command == Command::Render) {
    return runRender(line.render);
  }
  return runPlay(line.play);
}
