// main.cpp — vrax-studio: the tool for making pictures for music with VRAX
// shader pairs. One command a run: `render`, `play` or `pictures`.
#include <malloc.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/libraryLog.h"
#include "cli.h"
#include "parts.h"
#include "pictures.h"
#include "play.h"
#include "render.h"

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

// The GL driver keeps compiled shaders in a cache of its own under
// $XDG_CACHE_HOME (else ~/.cache) and maps its index there: on a full or
// unwritable filesystem a write into that map ends the process (SIGBUS).
// A cache is only a speed-up, so where its folder cannot take it the
// driver is told to keep none; a folder the user chose stays theirs.
void driverCacheWhereItFits() {
  if (std::getenv("MESA_SHADER_CACHE_DIR") != nullptr || std::getenv("MESA_SHADER_CACHE_DISABLE") != nullptr) {
    return;
  }
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  const std::string folder = cache != nullptr && cache[0] == '/' ? cache
                             : home != nullptr && home[0] == '/' ? std::string(home) + "/.cache"
                                                                 : "";
  // The driver's cache grows to about a gigabyte; 64 MB free is enough for
  // a run's shaders and room to be sure a write is not the last one.
  constexpr unsigned long long kRoom = 64ull << 20;
  std::string existing = folder;
  while (!existing.empty() && access(existing.c_str(), F_OK) != 0) {
    existing = existing.substr(0, existing.find_last_of('/'));
  }
  struct statvfs space {};
  const bool fits = !existing.empty() && access(existing.c_str(), W_OK | X_OK) == 0 &&
                    statvfs(existing.c_str(), &space) == 0 &&
                    static_cast<unsigned long long>(space.f_bavail) * space.f_frsize >= kRoom;
  if (!fits) {
    setenv("MESA_SHADER_CACHE_DISABLE", "true", 1);
  }
}

// Mesa's software rasteriser starts one thread per core, but the encoder's
// threads share those cores: one thread more keeps every core drawing while
// the encoder waits (about 6% faster renders on two cores). Set here, before
// any thread runs (setenv beside a thread's getenv is a data race); a value
// the user set is kept.
void rasteriserThreadsForEncoding() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores > 0) {
    setenv("LP_NUM_THREADS", std::to_string(cores + 1).c_str(), 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write fails (EFBIG) and is reported like any
  // other failed write, instead of the signal ending the run unannounced.
  std::signal(SIGXFSZ, SIG_IGN);
  // The encoder's libraries allocate and free frame-sized blocks every
  // frame; by default each is mapped anew and its pages cleared by the
  // kernel (7% of a 1080p render's time). Kept in the heap, they are reused.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  driverCacheWhereItFits();
  CommandLine line;
  if (const std::optional<int> leave = parseCommandLine(argc, argv, line)) {
    return *leave;
  }
  if (line.command == Command::Render || (line.command == Command::Pictures && line.wantsSheet) ||
      (line.command == Command::Play && line.play.noWindow)) {
    rasteriserThreadsForEncoding();
  }
  if (line.command == Command::Pictures && line.wantsSheet) {
    routeLibraryLogs(false);
    browserLikeGlsl(false);
    return runSheet(line.sheet);
  }
  if (line.command == Command::Pictures) {
    return runPictures(line.describe, line.palettes);
  }
  if (line.command == Command::Serve) {
    return runServe(line.serve);
  }
  if (line.command == Command::Join) {
    routeLibraryLogs(line.join.verbose);
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
