// window.h — the window output of `play`: GLFW's window with its OpenGL
// 4.5 core context, the keys pressed in it and Shadertoy's mouse.
//
// The keys are gathered by GLFW's callback while events are polled and
// read by the loop after: what each asks for holds until the loop takes it.
//
// Threading: the main thread only (GLFW's rule), which keeps the context current.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "control/osc.h"
#include "picture/channels.h"

struct GLFWwindow;

// What the keys (and a VJ's OSC messages) asked for since the last frame.
struct Keys {
  bool togglePause = false;
  int seekSeconds = 0;
  bool home = false;
  bool fullScreen = false;
  bool shot = false;
  int stepPicture = 0;
  bool toggleLock = false;  // party mode: hold the picture showing
  std::string pictureName;          // OSC /vrax/picture: a gallery picture by name
  std::vector<std::string> sets;    // OSC /vrax/set: NAME=VALUE, in order
  std::optional<double> gainDb;     // OSC /vrax/gain
  // Shadertoy's keyboard: held, pressed since the last frame, toggled.
  KeyRows rows = KeyRows(kKeyCodes * 3, 0);
};

// OSC messages as the keys that do the same (next, previous, pause) and the
// requests only OSC makes (a picture by name, a setting, the gain); a
// malformed message is said in one line.
void addControls(const std::vector<Control>& controls, Keys& keys, const Notes& notes);

// Shadertoy's iMouse from the left button: xy where the button is (or was
// last) down, zw where it went down; z is negative once it is released and
// w negative after the frame it went down on. Pixels from the bottom left.
class ShadertoyMouse {
 public:
  void read(GLFWwindow* window, float out[4]);

 private:
  float at_[2] = {0, 0};
  float click_[2] = {0, 0};
  bool wasDown_ = false;
};

// Saves what the bound framebuffer shows as shots/STEM-MmSS.mmms.png (a
// number added where that is taken); the path written, or why not.
Result<std::string> saveShot(int width, int height, const std::string& stem, double seconds);

// What the window's title bar says, twice a second.
struct TitleBar {
  std::string song;
  std::string picture;  // "" for the shader folder
  bool live = false;    // a capture: no position
  double position = 0;  // seconds
  double length = 0;
  double fps = 0;
  bool paused = false;
  bool stale = false;  // the files on disk do not build
};
std::string titleBarText(const TitleBar& bar);

// GLFW and its window, released in reverse.
class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  ~Window();
  // vsync: let the swap wait for the display (not when a stream sets the pace).
  Status open(int width, int height, const std::string& title, Keys* keys, bool vsync);
  void toggleFullScreen();
  double refreshRate() const;
  void setTitle(const std::string& text);
  GLFWwindow* get() const { return window_; }

 private:
  GLFWwindow* window_ = nullptr;
  bool initialised_ = false;
  int x_ = 0, y_ = 0, width_ = 800, height_ = 600;
};

