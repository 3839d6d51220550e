// main.cpp — vrax-studio: the tool for making pictures for music with VRAX
// shader pairs. One command a run: `render`, `play` or `pictures`.
#include <malloc.h>

#include <csignal>
#include <cstdlib>

#include "base/libraryLog.h"
#include "cli.h"
#include "render.h"

int runPlay(const PlayOptions& options);

namespace {

// Published shaders are written against browsers' WebGL, which zero-fills
// locals a shader never set and lets extra tokens follow #ifdef. Mesa does
// both when asked through its driver options, read from the environment
// when the context is made; a user's own setting stays. Mesa announces each
// such option on stderr unless its debug output is silent.
void browserLikeGlsl(bool verbose) {
  setenv("glsl_zero_init", "true", 0);
  setenv("allow_extra_pp_tokens", "true", 0);
  if (!verbose) {
    setenv("MESA_DEBUG", "silent", 0);
  }
}

}  // namespace
int runPictures(const std::string& describe, bool palettes);
int runJoin(const JoinOptions& options);
int runSheet(const SheetOptions& options);

int main(int argc, char** argv) {
  // Past a file-size limit a write fails (EFBIG) and is reported like any
  // other failed write, instead of the signal ending the run unannounced.
  std::signal(SIGXFSZ, SIG_IGN);
  // The encoder's libraries allocate and free frame-sized blocks every
  // frame; by default each is mapped anew and its pages cleared by the
  // kernel (7% of a 1080p render's time). Kept in the heap, they are reused.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  CommandLine line;
  if (const std::optional<int> leave = parseCommandLine(argc, argv, line)) {
    return *leave;
  }
  if (line.command == Command::Pictures && line.wantsSheet) {
    routeLibraryLogs(false);
    browserLikeGlsl(false);
    return runSheet(line.sheet);
  }
  if (line.command == Command::Pictures) {
    return runPictures(line.describe, line.palettes);
  }
  if (line.command == Command::Join) {
    routeLibraryLogs(false);
    return runJoin(line.join);
  }
  const bool verbose = line.command == Command::Render ? line.render.verbose : line.play.verbose;
  routeLibraryLogs(verbose);
  browserLikeGlsl(verbose);
  if (line.command == Command::Render) {
    return runRender(line.render);
  }
  return runPlay(line.play);
}
