// play.cpp — the `play` command: a song (or a capture device) in a window,
// with the shader pair reloaded whenever it is saved.
//
// One thread: poll the window and the shader folder, step the spectrum from
// the sound that is playing, draw, swap, wait for the next frame. OpenAL
// plays or captures on its own; only positions and samples cross.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "audio.h"
#include "capture.h"
#include "cli.h"
#include "encoder.h"
#include "interrupt.h"
#include "libraryLog.h"
#include "overlay.h"
#include "title.h"
#include "pacer.h"
#include "pendingFile.h"
#include "picture.h"
#include "playback.h"
#include "soundStream.h"
#include "analysis.h"
#include "image.h"
#include "gallery.h"
#include "shaderSource.h"
#include "shadertoy.h"
#include "watcher.h"
// GLFW after the loader, so it does not pull in the system GL header.
#include <GLFW/glfw3.h>

namespace {

using Clock = std::chrono::steady_clock;

// What the keys asked for since the last frame.
struct Keys {
  bool togglePause = false;
  int seekSeconds = 0;
  bool home = false;
  bool fullScreen = false;
  bool shot = false;
  int stepPicture = 0;
};

void onKey(GLFWwindow* window, int key, int, int action, int) {
  if (action != GLFW_PRESS && !(action == GLFW_REPEAT && (key == GLFW_KEY_LEFT || key == GLFW_KEY_RIGHT))) {
    return;
  }
  auto* keys = static_cast<Keys*>(glfwGetWindowUserPointer(window));
  switch (key) {
    case GLFW_KEY_SPACE: keys->togglePause = !keys->togglePause; break;
    case GLFW_KEY_LEFT: keys->seekSeconds -= 5; break;
    case GLFW_KEY_RIGHT: keys->seekSeconds += 5; break;
    case GLFW_KEY_HOME: keys->home = true; break;
    case GLFW_KEY_F: keys->fullScreen = true; break;
    case GLFW_KEY_S: keys->shot = true; break;
    case GLFW_KEY_N:
    case GLFW_KEY_PAGE_DOWN: keys->stepPicture += 1; break;
    case GLFW_KEY_P:
    case GLFW_KEY_PAGE_UP: keys->stepPicture -= 1; break;
    case GLFW_KEY_ESCAPE:
    case GLFW_KEY_Q: glfwSetWindowShouldClose(window, GLFW_TRUE); break;
    default: break;
  }
}

// Shadertoy's iMouse from the left button: xy where the button is (or was
// last) down, zw where it went down; z is negative once it is released and
// w negative after the frame it went down on. Pixels from the bottom left.
class ShadertoyMouse {
 public:
  void read(GLFWwindow* window, float out[4]) {
    const bool down = glfwGetMouseButton(window, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS;
    double x = 0;
    double y = 0;
    glfwGetCursorPos(window, &x, &y);
    int width = 1, height = 1, pixelsWide = 1, pixelsHigh = 1;
    glfwGetWindowSize(window, &width, &height);
    glfwGetFramebufferSize(window, &pixelsWide, &pixelsHigh);
    const float px = static_cast<float>(x * pixelsWide / std::max(width, 1));
    const float py = static_cast<float>(pixelsHigh - y * pixelsHigh / std::max(height, 1));
    const bool pressed = down && !wasDown_;
    if (down) {
      at_[0] = px;
      at_[1] = py;
    }
    if (pressed) {
      click_[0] = px;
      click_[1] = py;
    }
    wasDown_ = down;
    out[0] = at_[0];
    out[1] = at_[1];
    out[2] = down ? click_[0] : -click_[0];
    out[3] = pressed ? click_[1] : -click_[1];
  }

 private:
  float at_[2] = {0, 0};
  float click_[2] = {0, 0};
  bool wasDown_ = false;
};

// --frame-times FILE: each frame's work (events to swapped, without the wait
// for the next), in ms, one a line, written when play ends.
class FrameTimes {
 public:
  explicit FrameTimes(std::string path) : path_(std::move(path)) {}
  ~FrameTimes() {
    if (path_.empty()) {
      return;
    }
    std::ofstream out(path_);
    for (double ms : times_) {
      out << ms << "\n";
    }
    if (!out) {
      std::cerr << "vrax-studio: cannot write the frame times to " << path_ << std::endl;
    }
  }
  FrameTimes(const FrameTimes&) = delete;
  FrameTimes& operator=(const FrameTimes&) = delete;
  void add(Clock::duration work) {
    if (!path_.empty()) {
      times_.push_back(std::chrono::duration<double, std::milli>(work).count());
    }
  }

 private:
  std::string path_;
  std::vector<double> times_;
};

// GLFW and its window, released in reverse.
class Window {
 public:
  ~Window() {
    if (window_ != nullptr) {
      glfwDestroyWindow(window_);
      window_ = nullptr;
    }
    if (initialised_) {
      glfwTerminate();
    }
  }
  bool open(int width, int height, const std::string& title, Keys* keys, std::string& error) {
    {
      const QuietStderr quiet;  // Mesa's and X's own complaints
      initialised_ = glfwInit() == GLFW_TRUE;
    }
    if (!initialised_) {
      error = "cannot open a window: no display (is DISPLAY set?)";
      return false;
    }
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
    window_ = glfwCreateWindow(width, height, title.c_str(), nullptr, nullptr);
    if (window_ == nullptr) {
      error = "cannot open an OpenGL 4.5 core window";
      return false;
    }
    glfwMakeContextCurrent(window_);
    if (!gladLoadGL(glfwGetProcAddress)) {
      error = "cannot load the OpenGL entry points";
      return false;
    }
    glfwSwapInterval(1);
    glfwSetWindowUserPointer(window_, keys);
    glfwSetKeyCallback(window_, onKey);
    return true;
  }
  void toggleFullScreen() {
    GLFWmonitor* monitor = glfwGetWindowMonitor(window_);
    if (monitor != nullptr) {
      glfwSetWindowMonitor(window_, nullptr, x_, y_, width_, height_, 0);
      return;
    }
    monitor = glfwGetPrimaryMonitor();
    const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
    if (mode == nullptr) {
      return;
    }
    glfwGetWindowPos(window_, &x_, &y_);
    glfwGetWindowSize(window_, &width_, &height_);
    glfwSetWindowMonitor(window_, monitor, 0, 0, mode->width, mode->height, mode->refreshRate);
  }
  double refreshRate() const {
    GLFWmonitor* monitor = glfwGetPrimaryMonitor();
    const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
    return mode != nullptr && mode->refreshRate >= 24 ? mode->refreshRate : 60.0;
  }
  GLFWwindow* get() const { return window_; }

 private:
  GLFWwindow* window_ = nullptr;
  bool initialised_ = false;
  int x_ = 0, y_ = 0, width_ = 800, height_ = 600;
};

// The shader pair as last saved: built into the picture when it builds,
// reported once when it does not.
class ShaderPair {
 public:
  explicit ShaderPair(ShaderSource source) : source_(std::move(source)), dir_(source_.folder) {}

  // Rebuilds from the files; `changed` names the file that was saved.
  // True when a new program was built.
  bool reload(Picture& picture, const std::string& changed, bool atStart) {
    ShaderFile vertex;
    ShaderFile fragment;
    std::string error;
    const auto start = Clock::now();
    if (!readShaderSource(source_, vertex, fragment, error)) {
      // Mid-save a file may be missing for a moment; only a lasting
      // problem is worth a line, and only once.
      unreadableSince_ = unreadableSince_.value_or(Clock::now());
      unreadable_ = error;
      if (atStart) {
        reportOnce(error);
      }
      return false;
    }
    unreadableSince_.reset();
    reported_.clear();
    if (picture.build(vertex, fragment, error)) {
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      if (atStart) {
        std::cout << "Built " << (source_.form == ShaderForm::Pair ? dir_ : source_.file) << " in " << std::round(ms * 10) / 10 << " ms" << std::endl;
      } else {
        std::cout << "Reloaded " << changed << " in " << std::round(ms * 10) / 10 << " ms" << std::endl;
      }
      stale_ = false;
      return true;
    }
    std::cerr << error << std::flush;
    std::cerr << (picture.hasProgram() ? "vrax-studio: keeping the last good picture until the next save"
                                       : "vrax-studio: drawing a plain picture until the next good save")
              << std::endl;
    stale_ = true;
    return false;
  }
  // A file that stays unreadable is reported once.
  void check() {
    if (unreadableSince_ && Clock::now() - *unreadableSince_ > std::chrono::seconds(1)) {
      reportOnce(unreadable_);
    }
  }
  bool stale() const { return stale_ || unreadableSince_.has_value(); }
  bool retrying() const { return unreadableSince_.has_value(); }

 private:
  void reportOnce(const std::string& error) {
    if (reported_ != error) {
      std::cerr << "vrax-studio: " << error << std::endl;
      reported_ = error;
    }
  }
  ShaderSource source_;
  std::string dir_;
  std::string unreadable_;
  std::string reported_;
  std::optional<Clock::time_point> unreadableSince_;
  bool stale_ = false;
};

// What is on screen: a picture's files, the watcher of their saves and, in
// Shadertoy's form, its inputs. Stepping through the gallery makes a new one.
class ShownPicture {
 public:
  // At start a pair that does not build still shows (plainly, until a good
  // save); when stepping, one that does not build is not shown: false with why.
  static std::unique_ptr<ShownPicture> open(const std::string& path, const std::string& name, Picture& picture,
                                            const std::vector<Image>& images, bool atStart, std::string& error) {
    ShaderSource source;
    if (!findShaderSource(path, source, error)) {
      return nullptr;
    }
    auto shown = std::unique_ptr<ShownPicture>(new ShownPicture(source, name));
    if (atStart) {
      shown->pair_.reload(picture, "", true);
    } else {
      ShaderFile vertex;
      ShaderFile fragment;
      if (!readShaderSource(source, vertex, fragment, error) || !picture.build(vertex, fragment, error)) {
        return nullptr;
      }
    }
    if (source.form == ShaderForm::Shadertoy) {
      shown->shadertoy_ = std::make_unique<ShadertoyFeed>();
      shown->shadertoy_->setImages(images);
      shown->shadertoy_->attach(picture.program());
    }
    if (!shown->watcher_.watching()) {
      std::cerr << "vrax-studio: cannot watch " << source.folder << " for saves; the shaders are read once"
                << std::endl;
    }
    return shown;
  }
  // Rebuilds after a save.
  void poll(Picture& picture) {
    std::string changed;
    if ((watcher_.poll(changed) || pair_.retrying()) && pair_.reload(picture, changed, false) && shadertoy_) {
      shadertoy_->attach(picture.program());
    }
    pair_.check();
  }
  bool stale() const { return pair_.stale(); }
  ShadertoyFeed* shadertoy() const { return shadertoy_.get(); }
  const std::string& name() const { return name_; }

 private:
  ShownPicture(const ShaderSource& source, std::string name)
      : name_(std::move(name)), pair_(source), watcher_(source.folder, source.names) {}
  std::string name_;
  ShaderPair pair_;
  ShaderWatcher watcher_;
  std::unique_ptr<ShadertoyFeed> shadertoy_;
};

// The gallery as play steps through it: the current picture's place, and
// the next one in a direction that builds.
class GalleryCursor {
 public:
  GalleryCursor(std::vector<GalleryPicture> all, const std::string& current) : all_(std::move(all)) {
    for (size_t i = 0; i < all_.size(); ++i) {
      if (all_[i].name == current) {
        at_ = static_cast<int>(i);
      }
    }
  }
  bool empty() const { return all_.empty(); }
  // Shows the next picture in direction step (+1 or -1) that builds; each
  // one that does not is skipped with a line saying why.
  std::unique_ptr<ShownPicture> step(int direction, Picture& picture, const std::vector<Image>& images) {
    const int count = static_cast<int>(all_.size());
    for (int tries = 0; tries < count; ++tries) {
      at_ = ((at_ + direction) % count + count) % count;
      std::string error;
      auto shown = ShownPicture::open(all_[at_].path, all_[at_].name, picture, images, false, error);
      if (shown) {
        std::cout << "Showing " << all_[at_].name << ": " << all_[at_].about << std::endl;
        return shown;
      }
      const std::string first = error.substr(0, error.find('\n'));
      std::cerr << "vrax-studio: skipping the picture " << all_[at_].name << ": " << first << std::endl;
    }
    return nullptr;
  }

 private:
  std::vector<GalleryPicture> all_;
  int at_ = -1;
};

std::string secondsText(int64_t frame, int64_t rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(frame) / static_cast<double>(rate));
  return text;
}

std::string clockText(double seconds) {
  char text[32];
  const int whole = static_cast<int>(seconds);
  std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
  return text;
}

// Saves the back buffer as shots/NAME-MmSS.mmms.png; says where, or why not.
void saveShot(int width, int height, const std::string& stem, double seconds) {
  const std::vector<uint8_t> pixels = readPixels(width, height);
  std::error_code ec;
  std::filesystem::create_directories("shots", ec);
  char position[32];
  std::snprintf(position, sizeof position, "%dm%06.3fs", static_cast<int>(seconds) / 60, std::fmod(seconds, 60.0));
  std::string path = "shots/" + stem + "-" + position + ".png";
  for (int n = 2; std::filesystem::exists(path, ec); ++n) {
    path = "shots/" + stem + "-" + position + "-" + std::to_string(n) + ".png";
  }
  std::string error;
  PendingFile file(path, false);
  if (!writePng(file.path(), pixels.data(), width, height, error) || !file.commit(error)) {
    std::cerr << "vrax-studio: could not save the picture: " << error << std::endl;
    return;
  }
  std::cout << "Saved " << path << std::endl;
}

// The picture play starts with: --picture by name, --shaders, or the shipped pair.
std::unique_ptr<ShownPicture> openFirstPicture(const PlayOptions& o, Picture& picture, const std::vector<Image>& images,
                                               std::string& error) {
  if (!o.picture.empty()) {
    GalleryPicture chosen;
    if (!findGalleryPicture(o.picture, chosen, error)) {
      return nullptr;
    }
    return ShownPicture::open(chosen.path, chosen.name, picture, images, true, error);
  }
  const std::string dir = o.shaders.empty() ? defaultShaderDir() : o.shaders;
  if (dir.empty()) {
    error = noShaderDirMessage();
    return nullptr;
  }
  return ShownPicture::open(dir, o.shaders.empty() ? "ring" : "", picture, images, true, error);
}

}  // namespace

int runPlay(const PlayOptions& o) {
  if (o.listDevices) {
    return listCaptureDevices();
  }
  catchInterrupts();
  std::vector<Image> images;
  std::string imageError;
  if (!loadImages(o.images, images, imageError)) {
    return report(kExitUsage, imageError);
  }
  std::string fontPath;
  if (!o.title.empty() && !findTitleFont(o.font, fontPath, imageError)) {
    return report(kExitUsage, imageError);
  }
  SoundData sound;
  std::map<std::string, std::string> tags;
  std::string error;
  std::unique_ptr<Capture> capture;
  std::string name;
  if (o.capture) {
    capture = std::make_unique<Capture>();
    const int status = capture->open(o.captureDevice);
    if (status != kExitDone) {
      return status;
    }
    name = capture->name();
    if (o.hasLatency) {
      std::cerr << "vrax-studio: --latency has no meaning for a capture device; ignored" << std::endl;
    }
  } else {
    if (!decodeWholeSound(o.sound, sound, error, &tags)) {
      return report(kExitFailure, "cannot read the sound " + o.sound + ": " + error);
    }
    if (sound.samples.empty()) {
      return report(kExitFailure, o.sound + " holds no sound to play");
    }
    name = std::filesystem::path(o.sound).filename().string();
  }
  Playback playback;
  if (!capture && !playback.open(sound, error)) {
    return report(kExitFailure, error);
  }

  Keys keys;
  Window window;
  if (!window.open(o.width, o.height, name, &keys, error)) {
    return report(kExitFailure, error);
  }
  Picture picture;
  std::unique_ptr<ShownPicture> shown;
  GalleryCursor gallery(o.shaders.empty() ? galleryPictures() : std::vector<GalleryPicture>{},
                        o.picture.empty() ? "ring" : o.picture);
  if ((shown = openFirstPicture(o, picture, images, error)) == nullptr) {
    return report(o.picture.empty() ? kExitFailure : kExitUsage, error);
  }
  for (size_t i = 0; i < images.size(); ++i) {
    picture.setImage(static_cast<int>(i), images[i]);
  }
  picture.setCover(capture ? (images.empty() ? Image{} : images.front()) : chooseCover(o.sound, images));
  const std::string titleText = o.title == "auto" ? titleFromTags(tags) : o.title;
  Overlay title;
  int titleWidth = 0;
  int titleHeight = 0;

  const int channels = capture ? 2 : sound.info.channels;
  const int64_t rate = capture ? capture->rate() : sound.info.samplerate;
  const int64_t frames = capture ? 0 : static_cast<int64_t>(sound.samples.size()) / channels;
  const int64_t latencyFrames = static_cast<int64_t>(std::llround(o.latencyMs * static_cast<double>(rate) / 1000.0));
  std::unique_ptr<MemorySound> file;
  if (!capture) {
    file = std::make_unique<MemorySound>(sound.samples, channels, static_cast<int>(rate));
  }
  SoundSource& source = capture ? static_cast<SoundSource&>(*capture) : *file;
  ShadertoyFrame shadertoyFrame;
  ShadertoyMouse mouse;
  Analysis analysis(static_cast<int>(rate));
  FrameSound frameSound;
  int64_t frameNumber = 0;
  Pacer pacer(window.refreshRate());
  bool paused = false;
  bool saidNoSeek = false;
  bool saidNoPause = false;
  Clock::duration running{0};
  Clock::time_point last = Clock::now();
  Clock::time_point titleShown;
  int framesSinceTitle = 0;
  double fps = 0;
  FrameTimes frameTimes(o.frameTimes);
  stopAtNextFrame();

  while (!glfwWindowShouldClose(window.get()) && !interrupted()) {
    glfwPollEvents();
    const Clock::time_point now = Clock::now();
    if (!paused) {
      running += now - last;
    }
    last = now;

    if (keys.togglePause) {
      keys.togglePause = false;
      paused = !paused;
      if (capture && !saidNoPause) {
        std::cerr << "vrax-studio: a capture device cannot pause; the picture is frozen instead" << std::endl;
        saidNoPause = true;
      }
      if (!capture) {
        playback.setPaused(paused);
        std::cout << (paused ? "Paused at " : "Playing from ") << secondsText(playback.position(), rate) << std::endl;
      }
    }
    if (keys.seekSeconds != 0 || keys.home) {
      if (capture) {
        if (!saidNoSeek) {
          std::cerr << "vrax-studio: a capture device cannot seek" << std::endl;
          saidNoSeek = true;
        }
      } else {
        const int64_t target = keys.home ? 0 : playback.position() + keys.seekSeconds * rate;
        playback.seek(keys.home ? 0 : (target < 0 ? 0 : target));
        analysis.restart();
        picture.clearPrevious();
        std::cout << "At " << secondsText(playback.position(), rate) << std::endl;
      }
      keys.seekSeconds = 0;
      keys.home = false;
    }
    if (keys.fullScreen) {
      keys.fullScreen = false;
      window.toggleFullScreen();
    }
    if (keys.stepPicture != 0) {
      if (gallery.empty()) {
        std::cerr << "vrax-studio: N and P step through the gallery, which --shaders leaves out" << std::endl;
      } else if (auto next = gallery.step(keys.stepPicture > 0 ? 1 : -1, picture, images)) {
        shown = std::move(next);
        picture.clearPrevious();
        titleShown = Clock::time_point{};
      }
      keys.stepPicture = 0;
    }
    shown->poll(picture);

    // Paused, the picture holds still: no new spectrum, no time.
    const int64_t position = capture ? 0 : playback.position();
    if (!paused) {
      const int64_t at = capture ? 0 : ((position + latencyFrames) % frames + frames) % frames;
      source.around(at, frameSound);
      const double seconds = capture ? std::chrono::duration<double>(running).count() : static_cast<double>(at) / rate;
      const AudioInputs& inputs = analysis.step(frameSound, seconds);
      picture.setInputs(inputs);
      if (shown->shadertoy() != nullptr) {
        shadertoyFrame.timeDelta = static_cast<float>(seconds - shadertoyFrame.time);
        shadertoyFrame.time = static_cast<float>(seconds);
        shadertoyFrame.frameRate = static_cast<float>(fps);
        shadertoyFrame.frame = static_cast<int>(frameNumber);
        shadertoyDateNow(shadertoyFrame.date);
        shadertoyFrame.sampleRate = static_cast<float>(rate);
        mouse.read(window.get(), shadertoyFrame.mouse);
      }
    }
    if (shown->shadertoy() != nullptr) {
      int width = 0;
      int height = 0;
      glfwGetFramebufferSize(window.get(), &width, &height);
      shadertoyFrame.width = static_cast<float>(width);
      shadertoyFrame.height = static_cast<float>(height);
      shown->shadertoy()->feed(analysis.inputs(), shadertoyFrame);
    }
    int width = 0;
    int height = 0;
    glfwGetFramebufferSize(window.get(), &width, &height);
    if (width > 0 && height > 0) {
      // A song's time is its position, so a picture shows here what a render
      // shows at that time; a capture device has only the time since start.
      const double itime = capture ? std::chrono::duration<double>(running).count()
                                   : static_cast<double>(position) / static_cast<double>(rate);
      picture.draw(width, height, static_cast<float>(itime), frameNumber);
      if (!titleText.empty()) {
        // Laid out again when the window changes size, so it keeps its proportions.
        if (width != titleWidth || height != titleHeight) {
          TitleLayout layout;
          std::string why;
          if (layOutTitle(titleText, fontPath, width, height, o.titleAt, layout, why)) {
            title.set(layout.image, layout.x, layout.y);
          }
          titleWidth = width;
          titleHeight = height;
        }
        title.draw(width, height, 1.0f);
      }
      if (keys.shot) {
        keys.shot = false;
        saveShot(width, height, std::filesystem::path(name).stem().string(),
                 capture ? std::chrono::duration<double>(running).count() : static_cast<double>(position) / rate);
      }
      if (shown->stale()) {
        picture.drawStaleFrame(width, height);
      }
    }

    ++framesSinceTitle;
    if (now - titleShown > std::chrono::milliseconds(500)) {
      fps = framesSinceTitle / std::chrono::duration<double>(now - titleShown).count();
      framesSinceTitle = 0;
      titleShown = now;
      std::string title = name + " - " + (shown->name().empty() ? "" : shown->name() + " - ");
      title += capture ? std::string("live") : clockText(static_cast<double>(position) / rate) + " / " +
                                                   clockText(static_cast<double>(frames) / rate);
      title += " - " + std::to_string(static_cast<int>(std::lround(fps))) + " fps";
      if (paused) {
        title += " (paused)";
      }
      if (shown->stale()) {
        title += " (error)";
      }
      glfwSetWindowTitle(window.get(), title.c_str());
    }

    if (!paused) {
      ++frameNumber;
    }
    const Clock::time_point beforeSwap = Clock::now();
    glfwSwapBuffers(window.get());
    frameTimes.add(Clock::now() - now);
    pacer.wait(Clock::now() - beforeSwap);
    if (capture) {
      capture->keepAlive();
    }
  }
  return interrupted() ? kExitInterrupted : kExitDone;
}
