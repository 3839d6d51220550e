// support.h — shared helpers for the suites: temporary folders, sound files
// written with libsndfile, child processes with captured output and a
// timeout, and the paths of the built programs.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vt {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Changes the working directory for the lifetime of the object.
class ChangeDir {
 public:
  explicit ChangeDir(const std::string& path);
  ~ChangeDir();
  ChangeDir(const ChangeDir&) = delete;
  ChangeDir& operator=(const ChangeDir&) = delete;

 private:
  std::string previous_;
};

// Writes a sound file; value(frame, channel) gives each sample in -1 .. 1.
bool writeSound(const std::string& path, int64_t frames, int channels, int rate, int format,
                const std::function<double(int64_t, int)>& value);
// A generated input shared by every case of this test program (in every
// process, also those running at once): make(path) writes it the first time
// it is asked for; later asks get the file it wrote. Kept beside the test
// program and tied to its build, so a rebuilt program makes its inputs again.
// Empty when it could not be made.
std::string sharedInput(const std::string& name, const std::function<bool(const std::string& path)>& make);
// Writes interleaved 16-bit values as a WAV file.
bool writeShorts(const std::string& path, const std::vector<int16_t>& values, int channels, int rate);
// Reads a whole sound file as interleaved floats.
std::vector<float> readSound(const std::string& path, SF_INFO& info);

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);
size_t countOccurrences(const std::string& text, const std::string& needle);

// Paths compiled in by CMake.
std::string sourceDir();
std::string vraxBinary();
std::string wmctlBinary();
std::string makeExampleBinary();
std::string studioBinary();

// A child process with its standard streams captured in files.
class Process {
 public:
  // Starts argv in folder cwd with extra environment variables set (an empty
  // value unsets the variable).
  Process(const std::vector<std::string>& argv, const std::string& cwd,
          const std::map<std::string, std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Exit status (0-255) once the process ends, -1 if it is still running after
  // the timeout (it is then killed), -2 if it died from a signal.
  int wait(double seconds);
  bool running();
  int pid() const { return pid_; }
  std::string out() const;
  std::string err() const;

 private:
  int pid_ = -1;
  int status_ = -3;
  TempDir logs_;
};

// Runs wmctl with the arguments; returns its exit status and its output.
int wmctl(const std::vector<std::string>& args, std::string* output = nullptr, double timeout = 20.0);

// The built program started in dir with the null sound device.
struct VraxRun {
  explicit VraxRun(const std::string& dir);
  // Waits for the window to be on screen; returns "W H\n", or "" if it never came.
  std::string window();
  // Asks the window to close as a window manager does (again, should a request
  // be lost); returns the exit status, -1 if it never ended.
  int close();
  Process process;
};

// Runs a program to its end (at most `seconds`) and returns its standard
// output; status receives its exit status.
std::string runOutput(const std::vector<std::string>& argv, int* status = nullptr, double seconds = 120);

// vrax-studio run in dir with no display (the built one, or `binary`):
// its exit status (as Process::wait gives it) and its standard error. A
// render without --size or --fps is given 800x600 at 60 fps.
struct StudioRun {
  int status;
  std::string err;
};
StudioRun studio(const std::string& dir, std::vector<std::string> args, double seconds = 180,
                 const std::string& binary = "");

// A run that must be refused: its arguments, its exit status and a piece
// of the line that says why.
struct Refusal {
  std::vector<std::string> args;
  int status;
  std::string says;
};
// Runs each case in dir (args after `common`) and checks its status and its
// line, that no library speaks in its own voice or names a hidden file, and
// that `untouched` (an output) was not written.
void expectRefusals(const std::string& dir, const std::vector<std::string>& common, const std::vector<Refusal>& cases,
                    const std::string& untouched = "");

// ffprobe's values of `entries` for one stream, one a line (frames counted).
std::string probe(const std::string& file, const std::string& entries, const std::string& stream = "v:0");

// RGB bytes of a picture, or of frame n of a video.
std::string frameRgb(const std::string& file, int frame = 0);

// Mean absolute difference of two equally long byte strings (pixels), and the mean of one.
double meanDifference(const std::string& a, const std::string& b);
double mean(const std::string& a);

// Presses Space in play's window (titled `window`) and returns the position
// play says it paused at ("12.345"), or "" when it never says so.
std::string pauseAndReadPosition(Process& play, const std::string& window);

// Whether a sanitizer reported anything in this standard error text.
bool sanitizerSpoke(const std::string& err);

// Writes a quiet tone (a different pitch per channel) as a sound file.
bool writeTone(const std::string& path, int64_t frames, int channels, int rate,
               int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16);

// Copies the shipped shader pair into dir/Shaders.
void copyShippedShaders(const std::string& dir);
// Writes a shader pair into dir/Shaders.
void writeShaders(const std::string& dir, const std::string& vertex, const std::string& fragment);

// A picture of a gallery folder (as VRAX_PICTURES names): the plain vertex
// shader, a fragment shader with `body` as its main, a line about it.
void writeGalleryPicture(const std::string& gallery, const std::string& name, const std::string& body);

// The pass-through vertex shader every test pair can use.
extern const char* const kPlainVertexShader;

// A fragment shader with the whole contract declared (uv in, FragColor out,
// "aspect", "itime", the spectrum at binding 0) and `body` as its main.
std::string fragmentShader(const std::string& body);

// A port of 127.0.0.1 free now for `type` (SOCK_STREAM or SOCK_DGRAM).
int freePort(int type);
// Whether something listens on 127.0.0.1:port (ss lists it), polled for up to `seconds`.
bool listening(int port, bool udp, double seconds);

// The most general flashes in any one second of a video (WCAG 2.3.1 on the
// whole frame's relative luminance), by decoding it with ffmpeg.
double mostFlashesASecond(const std::string& file, int width, int height, int fps);
// The same where a quarter of the frame flashes together: four of the 16
// cells of a 4 × 4 grid changing the same way on one frame.
double mostQuarterFlashesASecond(const std::string& file, int width, int height, int fps);
// The amplitude of a sine of `hz` in one channel of interleaved values (a
// Goertzel filter over `count` frames from frame `from`).
double amplitudeAt(const std::vector<float>& values, int channels, int channel, double hz, int rate, size_t from,
                   size_t count);
// Polls until `ready` holds or `seconds` pass; whether it held. Waits on
// what can be seen, never a fixed time.
bool waitFor(const std::function<bool()>& ready, double seconds);

// Snapshots the window into `file` until two taken a moment apart agree
// (what it shows has settled: a paused picture drawn); whether they did.
bool snapWhenStill(const std::string& window, const std::string& file, double seconds = 30);


}  // namespace vt
