// wmctl — does to a top-level window what a window manager would, for tests
// and scripts on an Xvfb display that has no window manager.
//
//   wmctl wait NAME [SECONDS]   wait until a window titled NAME is mapped; print "W H"
//   wmctl close NAME            send it WM_DELETE_WINDOW, as a close button does
//   wmctl resize NAME W H       resize it (X refuses 0; the smallest size is 1×1)
//   wmctl hide NAME / show NAME unmap or map it again, as minimising does
//   wmctl geometry NAME         print "W H"
//   wmctl id NAME               print its X window id in decimal
//   wmctl snap NAME FILE        write what the window shows as a binary PPM
//   wmctl title NAME            print its whole title
//   wmctl key NAME KEYSYM       press and release a key in it (space, Left, s, …)
//   wmctl keydown NAME KEYSYM   press it and keep it held; keyup releases it
//
// NAME is the whole title, or its start up to a space ("song.wav" finds
// "song.wav - 0:12 / 3:45"), for programs that show their state in the title.
// Exit status 0 on success, 1 when the window is not found, 2 on bad usage.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// The first window titled name under window; with viewable, only a mapped one.
Window findWindow(Display* display, Window window, const char* name, bool viewable) {
  char* title = nullptr;
  if (XFetchName(display, window, &title) && title != nullptr) {
    const size_t length = std::strlen(name);
    const bool match = std::strncmp(title, name, length) == 0 && (title[length] == '\0' || title[length] == ' ');
    XFree(title);
    if (match) {
      XWindowAttributes attributes;
      if (XGetWindowAttributes(display, window, &attributes) && (!viewable || attributes.map_state == IsViewable)) {
        return window;
      }
    }
  }
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  Window found = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count)) {
    for (unsigned int i = 0; i < count && found == 0; ++i) {
      found = findWindow(display, children[i], name, viewable);
    }
    if (children != nullptr) {
      XFree(children);
    }
  }
  return found;
}

void printGeometry(Display* display, Window window) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display, window, &attributes);
  std::printf("%d %d\n", attributes.width, attributes.height);
}

int snap(Display* display, Window window, const char* path) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display, window, &attributes);
  XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                            static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  if (image == nullptr) {
    std::fprintf(stderr, "wmctl: cannot read the window\n");
    return 1;
  }
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "wmctl: cannot write %s\n", path);
    XDestroyImage(image);
    return 1;
  }
  std::fprintf(out, "P6\n%d %d\n255\n", attributes.width, attributes.height);
  for (int y = 0; y < attributes.height; ++y) {
    for (int x = 0; x < attributes.width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      const unsigned char rgb[3] = {static_cast<unsigned char>((pixel & image->red_mask) >> 16),
                                    static_cast<unsigned char>((pixel & image->green_mask) >> 8),
                                    static_cast<unsigned char>(pixel & image->blue_mask)};
      std::fwrite(rgb, 1, 3, out);
    }
  }
  std::fclose(out);
  XDestroyImage(image);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: wmctl wait|close|resize|geometry|id NAME [args]\n");
    return 2;
  }
  const std::string command = argv[1];
  const char* name = argv[2];
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "wmctl: cannot open display\n");
    return 2;
  }
  const Window root = DefaultRootWindow(display);
  // A hidden window can still be shown; everything else wants it on screen.
  const bool viewable = command != "show";
  Window window = findWindow(display, root, name, viewable);

  if (command == "wait") {
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (window == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      window = findWindow(display, root, name, viewable);
    }
  }
  if (window == 0) {
    std::fprintf(stderr, "wmctl: no window titled \"%s\"\n", name);
    XCloseDisplay(display);
    return 1;
  }

  int status = 0;
  if (command == "wait" || command == "geometry") {
    printGeometry(display, window);
  } else if (command == "id") {
    std::printf("%lu\n", static_cast<unsigned long>(window));
  } else if (command == "close") {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
  } else if (command == "hide") {
    XUnmapWindow(display, window);
  } else if (command == "show") {
    XMapWindow(display, window);
  } else if (command == "title") {
    char* title = nullptr;
    if (XFetchName(display, window, &title) && title != nullptr) {
      std::printf("%s\n", title);
      XFree(title);
    }
  } else if ((command == "key" || command == "keydown" || command == "keyup") && argc == 4) {
    const KeySym sym = XStringToKeysym(argv[3]);
    if (sym == NoSymbol) {
      std::fprintf(stderr, "wmctl: unknown key %s\n", argv[3]);
      status = 2;
    } else {
      XEvent event{};
      event.xkey.type = KeyPress;
      event.xkey.display = display;
      event.xkey.window = window;
      event.xkey.root = root;
      event.xkey.same_screen = True;
      event.xkey.keycode = XKeysymToKeycode(display, sym);
      event.xkey.time = CurrentTime;
      if (command != "keyup") {
        XSendEvent(display, window, True, KeyPressMask, &event);
      }
      if (command != "keydown") {
        event.xkey.type = KeyRelease;
        XSendEvent(display, window, True, KeyReleaseMask, &event);
      }
    }
  } else if (command == "snap" && argc == 4) {
    status = snap(display, window, argv[3]);
  } else if (command == "resize" && argc == 5) {
    XResizeWindow(display, window, static_cast<unsigned>(std::atoi(argv[3])),
                  static_cast<unsigned>(std::atoi(argv[4])));
  } else {
    std::fprintf(stderr, "wmctl: unknown command %s\n", command.c_str());
    status = 2;
  }
  XSync(display, False);
  XCloseDisplay(display);
  return status;
}
