// window.cpp — see window.h.
#include "show/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "picture/picture.h"
#include "video/encoder.h"
#include "video/pendingFile.h"

#include "base/libraryLog.h"
#include "glCall.h"
// GLFW after the loader, so it does not pull in the system GL header.
#include <GLFW/glfw3.h>

namespace {

// The browser's key code for a GLFW key (0: none). Letters, digits and
// space are the same numbers in both.
int browserKeyCode(int key) {
  if ((key >= GLFW_KEY_A && key <= GLFW_KEY_Z) || (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) || key == GLFW_KEY_SPACE) {
    return key;
  }
  if (key >= GLFW_KEY_F1 && key <= GLFW_KEY_F12) {
    return 112 + key - GLFW_KEY_F1;
  }
  static const int pairs[][2] = {{GLFW_KEY_LEFT, 37},          {GLFW_KEY_UP, 38},          {GLFW_KEY_RIGHT, 39},
                                 {GLFW_KEY_DOWN, 40},          {GLFW_KEY_ENTER, 13},       {GLFW_KEY_ESCAPE, 27},
                                 {GLFW_KEY_TAB, 9},            {GLFW_KEY_BACKSPACE, 8},    {GLFW_KEY_LEFT_SHIFT, 16},
                                 {GLFW_KEY_RIGHT_SHIFT, 16},   {GLFW_KEY_LEFT_CONTROL, 17}, {GLFW_KEY_RIGHT_CONTROL, 17},
                                 {GLFW_KEY_LEFT_ALT, 18},      {GLFW_KEY_RIGHT_ALT, 18},   {GLFW_KEY_PAGE_UP, 33},
                                 {GLFW_KEY_PAGE_DOWN, 34},     {GLFW_KEY_END, 35},         {GLFW_KEY_HOME, 36},
                                 {GLFW_KEY_INSERT, 45},        {GLFW_KEY_DELETE, 46}};
  for (const auto& pair : pairs) {
    if (pair[0] == key) {
      return pair[1];
    }
  }
  return 0;
}

void onKey(GLFWwindow* window, int key, int, int action, int) {
  auto* keys = static_cast<Keys*>(glfwGetWindowUserPointer(window));
  if (const int code = browserKeyCode(key); code > 0 && action != GLFW_REPEAT) {
    keys->rows[static_cast<size_t>(code)] = action == GLFW_PRESS ? 255 : 0;
    if (action == GLFW_PRESS) {
      keys->rows[static_cast<size_t>(kKeyCodes + code)] = 255;
      keys->rows[static_cast<size_t>(2 * kKeyCodes + code)] ^= 255;
    }
  }
  if (action != GLFW_PRESS && !(action == GLFW_REPEAT && (key == GLFW_KEY_LEFT || key == GLFW_KEY_RIGHT))) {
    return;
  }
  switch (key) {
    case GLFW_KEY_SPACE: keys->togglePause = !keys->togglePause; break;
    case GLFW_KEY_LEFT: keys->seekSeconds -= 5; break;
    case GLFW_KEY_RIGHT: keys->seekSeconds += 5; break;
    case GLFW_KEY_HOME: keys->home = true; break;
    case GLFW_KEY_F: keys->fullScreen = true; break;
    case GLFW_KEY_S: keys->shot = true; break;
    case GLFW_KEY_L: keys->toggleLock = !keys->toggleLock; break;
    case GLFW_KEY_N:
    case GLFW_KEY_PAGE_DOWN: keys->stepPicture += 1; break;
    case GLFW_KEY_P:
    case GLFW_KEY_PAGE_UP: keys->stepPicture -= 1; break;
    case GLFW_KEY_ESCAPE:
    case GLFW_KEY_Q: glfwSetWindowShouldClose(window, GLFW_TRUE); break;
    default: break;
  }
}

}  // namespace

void ShadertoyMouse::read(GLFWwindow* window, float out[4]) {
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

Window::~Window() {
  if (window_ != nullptr) {
    glfwDestroyWindow(window_);
    window_ = nullptr;
  }
  if (initialised_) {
    glfwTerminate();
  }
}

Status Window::open(int width, int height, const std::string& title, Keys* keys, bool vsync) {
  {
    const QuietStderr quiet;  // Mesa's and X's own complaints
    initialised_ = glfwInit() == GLFW_TRUE;
  }
  if (!initialised_) {
    return Status::failure("cannot open a window: no display (is DISPLAY set?)");
  }
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
  window_ = glfwCreateWindow(width, height, title.c_str(), nullptr, nullptr);
  if (window_ == nullptr) {
    return Status::failure("cannot open an OpenGL 4.5 core window");
  }
  glfwMakeContextCurrent(window_);
  if (!gladLoadGL(glfwGetProcAddress)) {
    return Status::failure("cannot load the OpenGL entry points");
  }
  glfwSwapInterval(vsync ? 1 : 0);
  glfwSetWindowUserPointer(window_, keys);
  glfwSetKeyCallback(window_, onKey);
  return Status();
}

void Window::toggleFullScreen() {
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

double Window::refreshRate() const {
  GLFWmonitor* monitor = glfwGetPrimaryMonitor();
  const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
  return mode != nullptr && mode->refreshRate >= 24 ? mode->refreshRate : 60.0;
}

void Window::setTitle(const std::string& text) {
  if (window_ != nullptr) {
    glfwSetWindowTitle(window_, text.c_str());
  }
}

Result<std::string> saveShot(int width, int height, const std::string& stem, double seconds) {
  const std::vector<uint8_t> pixels = readPixels(width, height);
  std::error_code ec;
  std::filesystem::create_directories("shots", ec);
  char position[32];
  std::snprintf(position, sizeof position, "%dm%06.3fs", static_cast<int>(seconds) / 60, std::fmod(seconds, 60.0));
  std::string path = "shots/" + stem + "-" + position + ".png";
  for (int n = 2; std::filesystem::exists(path, ec); ++n) {
    path = "shots/" + stem + "-" + position + "-" + std::to_string(n) + ".png";
  }
  PendingFile file(path, false);
  Status saved = writePng(file.path(), pixels.data(), width, height);
  if (saved) {
    saved = file.commit();
  }
  if (!saved) {
    return saved;
  }
  return path;
}

namespace {

std::string clockText(double seconds) {
  char text[32];
  const int whole = static_cast<int>(seconds);
  std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
  return text;
}

}  // namespace

std::string titleBarText(const TitleBar& bar) {
  std::string text = bar.song + " - " + (bar.picture.empty() ? "" : bar.picture + " - ");
  text += bar.live ? std::string("live") : clockText(bar.position) + " / " + clockText(bar.length);
  text += " - " + std::to_string(static_cast<int>(std::lround(bar.fps))) + " fps";
  if (bar.paused) {
    text += " (paused)";
  }
  if (bar.stale) {
    text += " (error)";
  }
  return text;
}

void addControls(const std::vector<Control>& controls, Keys& keys, const Notes& notes) {
  for (const Control& c : controls) {
    switch (c.kind) {
      case Control::Kind::Next:
      case Control::Kind::Previous:
        keys.stepPicture = c.kind == Control::Kind::Next ? 1 : -1;
        break;
      case Control::Kind::Pause:
        keys.togglePause = !keys.togglePause;
        break;
      case Control::Kind::Gain:
        keys.gainDb = c.number;
        break;
      case Control::Kind::Picture:
        keys.pictureName = c.text;
        break;
      case Control::Kind::Set:
        keys.sets.push_back(c.text);
        break;
      case Control::Kind::Problem:
        notes(c.text);
        break;
    }
  }
}
