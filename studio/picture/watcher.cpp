// watcher.cpp — see watcher.h.
#include "picture/watcher.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

ShaderWatcher::ShaderWatcher(const std::string& dir, std::vector<std::string> names)
    : dir_(dir), names_(std::move(names)) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    watching_ = Status::failure(std::strerror(errno));
    return;
  }
  watch_ = inotify_add_watch(fd_, dir.c_str(),
                             IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM);
  if (watch_ < 0) {
    // Most often the per-user limit of watches (fs.inotify.max_user_watches).
    watching_ = Status::failure(std::strerror(errno));
  }
}

ShaderWatcher::~ShaderWatcher() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

bool ShaderWatcher::poll(std::string& which) {
  if (fd_ < 0) {
    return false;
  }
  bool saved = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got <= 0) {
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len == 0) {
        continue;
      }
      const std::string name = event->name;
      if (std::find(names_.begin(), names_.end(), name) == names_.end()) {
        continue;
      }
      // A file created empty is not saved yet; its close or rename will
      // follow. A file gone, or a folder, pipe or device in its place, has
      // no such close: the reload says what is there now.
      struct stat now {};
      const bool notAFile = (event->mask & IN_CREATE) != 0 &&
                            (lstat((dir_ + "/" + name).c_str(), &now) != 0 || !S_ISREG(now.st_mode));
      if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM)) || notAFile) {
        saved = true;
        which = dir_ + "/" + name;
      }
    }
  }
  return saved;
}
