// support.cpp — see support.h.
#include "support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <algorithm>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace vt {

TempDir::TempDir() {
  char pattern[] = "/tmp/vrax-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) {
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string sharedInput(const std::string& name, const std::function<bool(const std::string& path)>& make) {
  // The program's own build time names the folder: inputs made by an older
  // build (perhaps another signal) are never read by a newer one.
  struct stat self {};
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || stat(exe.c_str(), &self) != 0) {
    return {};
  }
  const std::filesystem::path folder = exe.parent_path() / "shared-inputs" /
                                       (exe.filename().string() + "-" + std::to_string(self.st_mtim.tv_sec) + "." +
                                        std::to_string(self.st_mtim.tv_nsec));
  const std::string path = (folder / name).string();
  if (std::filesystem::exists(path, error)) {
    return path;
  }
  std::filesystem::create_directories(folder, error);
  // Made under a name of this process's own and renamed into place whole,
  // so a case running beside this one reads either nothing or all of it.
  const std::string part = path + ".part-" + std::to_string(getpid());
  if (!make(part) || rename(part.c_str(), path.c_str()) != 0) {
    std::filesystem::remove(part, error);
    return {};
  }
  return path;
}

ChangeDir::ChangeDir(const std::string& path) : previous_(std::filesystem::current_path().string()) {
  std::filesystem::current_path(path);
}

ChangeDir::~ChangeDir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

bool writeSound(const std::string& path, int64_t frames, int channels, int rate, int format,
                const std::function<double(int64_t, int)>& value) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    return false;
  }
  std::vector<double> data(static_cast<size_t>(frames * channels));
  for (int64_t f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) {
      data[static_cast<size_t>(f * channels + c)] = value(f, c);
    }
  }
  const sf_count_t written = sf_writef_double(file, data.data(), frames);
  sf_close(file);
  return written == frames;
}

bool writeShorts(const std::string& path, const std::vector<int16_t>& values, int channels, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    return false;
  }
  const sf_count_t frames = static_cast<sf_count_t>(values.size()) / channels;
  const sf_count_t written = sf_writef_short(file, values.data(), frames);
  sf_close(file);
  return written == frames;
}

std::vector<float> readSound(const std::string& path, SF_INFO& info) {
  info = SF_INFO{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    return {};
  }
  std::vector<float> data(static_cast<size_t>(info.frames * info.channels));
  const sf_count_t got = sf_readf_float(file, data.data(), info.frames);
  sf_close(file);
  data.resize(static_cast<size_t>(got * info.channels));
  return data;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

size_t countOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::string sourceDir() {
  return VRAX_SOURCE_DIR;
}
std::string vraxBinary() {
  return VRAX_BINARY;
}
std::string wmctlBinary() {
  return WMCTL_BINARY;
}
std::string makeExampleBinary() {
  return MAKEEXAMPLE_BINARY;
}
std::string studioBinary() {
  return STUDIO_BINARY;
}

std::string runOutput(const std::vector<std::string>& argv, int* status, double seconds) {
  Process process(argv, "/");
  const int code = process.wait(seconds);
  if (status != nullptr) {
    *status = code;
  }
  return process.out();
}

Process::Process(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::map<std::string, std::string>& env) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) {
      environment.push_back(entry);
    }
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) {
      environment.push_back(name + "=" + value);
    }
  }
  std::vector<char*> envp;
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& arg : args) {
    argp.push_back(arg.data());
  }
  argp.push_back(nullptr);

  const std::string outPath = logs_ / "out";
  const std::string errPath = logs_ / "err";
  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(127);
    }
    setpgid(0, 0);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
}

Process::~Process() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Process::running() {
  if (status_ != -3 || pid_ <= 0) {
    return false;
  }
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    return false;
  }
  return true;
}

int Process::wait(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      status_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

std::string Process::out() const {
  return readText(logs_ / "out");
}
std::string Process::err() const {
  return readText(logs_ / "err");
}

int wmctl(const std::vector<std::string>& args, std::string* output, double timeout) {
  std::vector<std::string> argv = {wmctlBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  Process process(argv, "/");
  const int status = process.wait(timeout);
  if (output != nullptr) {
    *output = process.out();
  }
  return status;
}

VraxRun::VraxRun(const std::string& dir) : process({vraxBinary()}, dir, {{"ALSOFT_DRIVERS", "null"}}) {}

std::string VraxRun::window() {
  std::string geometry;
  return wmctl({"wait", "VRAX", "30"}, &geometry, 40) == 0 ? geometry : "";
}

int VraxRun::close() {
  // A close request can be lost before the program sees it (wmctl itself
  // starved or refused by a busy display): asked again until it ends, and
  // what wmctl said is kept for the failure. A program that ignores every
  // request still fails.
  int status = -1;
  for (int attempt = 0; attempt < 3 && status == -1; ++attempt) {
    const int asked = wmctl({"close", "VRAX"});
    status = process.wait(10);
    if (status == -1) {
      std::cerr << "vrax still running 10 s after close request " << attempt + 1 << " (wmctl status " << asked
                << ")\n";
    }
  }
  return status;
}

StudioRun studio(const std::string& dir, std::vector<std::string> args, double seconds, const std::string& binary) {
  // The suites' renders are small and at 60 fps unless a case says otherwise
  // (the default, 1080p at 30, has a test of its own).
  // A preset or a project file says its own size and rate.
  const bool ownSize = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
    return arg == "--for" || (arg.size() > 10 && arg.compare(arg.size() - 10, 10, ".vrax.json") == 0 &&
                              arg.rfind("--", 0) != 0);
  });
  if (!args.empty() && args[0] == "render" && !ownSize) {
    for (const auto& [option, value] : {std::pair<const char*, const char*>{"--size", "800x600"}, {"--fps", "60"}}) {
      if (std::find(args.begin(), args.end(), option) == args.end()) {
        args.insert(args.end(), {option, value});
      }
    }
  }
  args.insert(args.begin(), binary.empty() ? studioBinary() : binary);
  Process p(args, dir, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  const int status = p.wait(seconds);
  return {status, p.err()};
}

std::string probe(const std::string& file, const std::string& entries, const std::string& stream) {
  return runOutput({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams", stream, "-show_entries",
                    entries, "-of", "default=nw=1:nk=1", file});
}

namespace {

// Every frame of a file as decoded, in order: ffmpeg writes each as a PPM
// (its own size in its header), so nothing needs probing first.
std::vector<std::string> decodeEveryFrame(const std::string& file) {
  const std::string out = runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-fps_mode", "passthrough", "-f",
                                     "image2pipe", "-c:v", "ppm", "-pix_fmt", "rgb24", "-"});
  std::vector<std::string> frames;
  size_t at = 0;
  while (at < out.size()) {
    std::istringstream header(out.substr(at, 64));
    std::string magic;
    size_t width = 0, height = 0, depth = 0;
    if (!(header >> magic >> width >> height >> depth) || magic != "P6" || depth != 255) {
      break;
    }
    const size_t data = at + static_cast<size_t>(header.tellg()) + 1;
    const size_t bytes = width * height * 3;
    if (data + bytes > out.size()) {
      break;
    }
    frames.push_back(out.substr(data, bytes));
    at = data + bytes;
  }
  return frames;
}

}  // namespace

std::string frameRgb(const std::string& file, int frame) {
  // Cases read many frames of one file one at a time; decoding the file
  // once per case instead of once per frame takes a third of a second off
  // each read. A file written again (a new inode, size or time) is decoded
  // again.
  struct stat info {};
  if (stat(file.c_str(), &info) != 0 || frame < 0) {
    return {};
  }
  std::ostringstream key;
  key << file << '|' << info.st_dev << '|' << info.st_ino << '|' << info.st_size << '|' << info.st_mtim.tv_sec << '.'
      << info.st_mtim.tv_nsec;
  static std::vector<std::pair<std::string, std::vector<std::string>>> recent;
  auto found = std::find_if(recent.begin(), recent.end(), [&](const auto& entry) { return entry.first == key.str(); });
  if (found == recent.end()) {
    if (recent.size() >= 3) {
      recent.erase(recent.begin());
    }
    recent.emplace_back(key.str(), decodeEveryFrame(file));
    found = std::prev(recent.end());
  }
  return static_cast<size_t>(frame) < found->second.size() ? found->second[static_cast<size_t>(frame)] : std::string();
}

double meanDifference(const std::string& a, const std::string& b) {
  EXPECT_EQ(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    sum += std::abs(int(static_cast<unsigned char>(a[i])) - int(static_cast<unsigned char>(b[i])));
  }
  return sum / static_cast<double>(std::max<size_t>(1, a.size()));
}

double mean(const std::string& a) {
  double sum = 0;
  for (char c : a) {
    sum += static_cast<unsigned char>(c);
  }
  return sum / static_cast<double>(std::max<size_t>(1, a.size()));
}

std::string pauseAndReadPosition(Process& play, const std::string& window) {
  wmctl({"key", window, "space"});
  for (int i = 0; i < 300; ++i) {
    std::istringstream out(play.out());
    for (std::string line; std::getline(out, line);) {
      if (line.rfind("Paused at ", 0) == 0) {
        return line.substr(10, line.find(' ', 10) - 10);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "";
}

bool sanitizerSpoke(const std::string& err) {
  return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
}

bool writeTone(const std::string& path, int64_t frames, int channels, int rate, int format) {
  return writeSound(path, frames, channels, rate, format, [](int64_t f, int c) {
    return 0.3 * std::sin(2 * 3.14159265358979323846 * (220.0 + 55.0 * c) * static_cast<double>(f) / 44100);
  });
}

void copyShippedShaders(const std::string& dir) {
  std::filesystem::create_directories(dir + "/Shaders");
  for (const char* name : {"Quad.vert.glsl", "Quad.frag.glsl"}) {
    std::filesystem::copy_file(sourceDir() + "/Shaders/" + name, dir + "/Shaders/" + name,
                               std::filesystem::copy_options::overwrite_existing);
  }
}

void writeShaders(const std::string& dir, const std::string& vertex, const std::string& fragment) {
  std::filesystem::create_directories(dir + "/Shaders");
  writeText(dir + "/Shaders/Quad.vert.glsl", vertex);
  writeText(dir + "/Shaders/Quad.frag.glsl", fragment);
}

const char* const kPlainVertexShader = R"(#version 450 core
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;
out vec2 uv;
void main() {
    uv = aTexCoord;
    gl_Position = vec4(aPos, 1.0);
}
)";

void writeGalleryPicture(const std::string& gallery, const std::string& name, const std::string& body) {
  std::filesystem::create_directories(gallery + "/" + name);
  writeText(gallery + "/" + name + "/Quad.vert.glsl", kPlainVertexShader);
  writeText(gallery + "/" + name + "/Quad.frag.glsl", fragmentShader(body));
  writeText(gallery + "/" + name + "/about.txt", name + " for the test\n");
}

std::string fragmentShader(const std::string& body) {
  return "#version 450 core\n"
         "in vec2 uv;\n"
         "out vec4 FragColor;\n"
         "uniform float aspect;\n"
         "uniform float itime;\n"
         "layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };\n"
         "void main() {\n" +
         body + "\n}\n";
}

double amplitudeAt(const std::vector<float>& values, int channels, int channel, double hz, int rate, size_t from,
                   size_t count) {
  const double w = 2 * M_PI * hz / rate;
  double s1 = 0, s2 = 0;
  const auto step = static_cast<size_t>(channels);
  for (size_t i = from; i < from + count && i * step + static_cast<size_t>(channel) < values.size(); ++i) {
    const double s = values[i * step + static_cast<size_t>(channel)] + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
  return 2 * std::sqrt(std::max(0.0, power)) / static_cast<double>(count);
}

}  // namespace vt

namespace vt {

void expectRefusals(const std::string& dir, const std::vector<std::string>& common, const std::vector<Refusal>& cases,
                    const std::string& untouched) {
  for (const Refusal& c : cases) {
    std::vector<std::string> args = common;
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string called;
    for (const std::string& arg : args) {
      called += arg + " ";
    }
    const StudioRun run = studio(dir, args, 60);
    EXPECT_EQ(run.status, c.status) << called << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << called << "\n" << run.err;
    std::istringstream lines(run.err);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_NE(line.rfind("[", 0), 0u) << called << ": a library's own line\n" << run.err;
      EXPECT_EQ(line.find(".partial"), std::string::npos) << called << ": names the hidden file\n" << run.err;
    }
    if (!untouched.empty()) {
      EXPECT_FALSE(std::filesystem::exists(dir + "/" + untouched)) << called;
    }
  }
}

// A port of 127.0.0.1 free now for `type` (SOCK_STREAM or SOCK_DGRAM).
int freePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  const int port = ntohs(at.sin_port);
  close(fd);
  return port;
}

// Whether something listens on 127.0.0.1:port (ss lists it), polled.
bool listening(int port, bool udp, double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const std::string out = runOutput({"/usr/bin/ss", udp ? "-lun" : "-ltn"});
    if (out.find("127.0.0.1:" + std::to_string(port) + " ") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The most general flashes in any one second of a video, counted as the
// guidelines do: the frame's relative luminance (sRGB decoded, sampled over
// the whole picture), a change when it has moved 0.1 from its last extreme
// against the last change (the darker side below 0.8), two changes a flash.
namespace {

// Each frame's mean relative luminance over the whole frame, or over each
// of the cells of a grid × grid split of it (cell-major: all of cell 0's frames first).
std::vector<std::vector<double>> luminances(const std::string& file, int width, int height, int grid) {
  const std::string raw = runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-f", "rawvideo", "-pix_fmt",
                                     "rgb24", "-"});
  const size_t size = static_cast<size_t>(width) * height * 3;
  std::vector<std::vector<double>> cells(static_cast<size_t>(grid * grid));
  for (size_t n = 0; (n + 1) * size <= raw.size(); ++n) {
    std::vector<double> sums(cells.size(), 0.0);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const size_t i = n * size + (static_cast<size_t>(y) * width + x) * 3;
        double rgb[3];
        for (size_t c = 0; c < 3; ++c) {
          const double v = static_cast<unsigned char>(raw[i + c]) / 255.0;
          rgb[c] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        }
        sums[static_cast<size_t>((y * grid / height) * grid + x * grid / width)] +=
            0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
      }
    }
    for (size_t c = 0; c < cells.size(); ++c) {
      cells[c].push_back(sums[c] * static_cast<double>(cells.size()) / (static_cast<double>(width) * height));
    }
  }
  return cells;
}

// The frames where a series changes by 0.1 or more against its last
// extreme, the darker side below 0.8, with the direction of each (+1, -1).
std::vector<std::pair<int, int>> opposingChanges(const std::vector<double>& series) {
  std::vector<std::pair<int, int>> changes;
  double extreme = series.empty() ? 0 : series[0];
  int direction = 0;
  for (size_t n = 1; n < series.size(); ++n) {
    const double y = series[n];
    if (direction <= 0 && y - extreme >= 0.1 && extreme < 0.8) {
      direction = 1, extreme = y, changes.push_back({static_cast<int>(n), 1});
    } else if (direction >= 0 && extreme - y >= 0.1 && y < 0.8) {
      direction = -1, extreme = y, changes.push_back({static_cast<int>(n), -1});
    } else if ((direction > 0 && y > extreme) || (direction < 0 && y < extreme)) {
      extreme = y;
    }
  }
  return changes;
}

// The most of these frames in any fps frames, as flashes (two changes each).
double mostInASecond(std::vector<int> frames, int fps) {
  std::sort(frames.begin(), frames.end());
  size_t most = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    size_t inSecond = 0;
    while (i + inSecond < frames.size() && frames[i + inSecond] < frames[i] + fps) {
      ++inSecond;
    }
    most = std::max(most, inSecond);
  }
  return static_cast<double>(most) / 2;
}

}  // namespace

double mostFlashesASecond(const std::string& file, int width, int height, int fps) {
  std::vector<int> frames;
  for (const auto& [frame, direction] : opposingChanges(luminances(file, width, height, 1)[0])) {
    frames.push_back(frame);
  }
  return mostInASecond(frames, fps);
}

double mostQuarterFlashesASecond(const std::string& file, int width, int height, int fps) {
  std::map<std::pair<int, int>, int> cellsChanging;  // (frame, direction) → cells
  for (const std::vector<double>& cell : luminances(file, width, height, 4)) {
    for (const auto& change : opposingChanges(cell)) {
      ++cellsChanging[change];
    }
  }
  std::vector<int> frames;
  for (const auto& [change, cells] : cellsChanging) {
    if (cells >= 4) {
      frames.push_back(change.first);
    }
  }
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  return mostInASecond(frames, fps);
}

bool waitFor(const std::function<bool()>& ready, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ready();
}

bool snapWhenStill(const std::string& window, const std::string& file, double seconds) {
  std::string last;
  return waitFor(
      [&] {
        if (wmctl({"snap", window, file}) != 0) {
          return false;
        }
        std::string now = readText(file);
        const bool held = !last.empty() && now == last;
        last = std::move(now);
        if (!held) {
          std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        return held;
      },
      seconds);
}

}  // namespace vt
