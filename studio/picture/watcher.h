// watcher.h — notices when the shader pair in a folder is saved.
//
// inotify on the folder, not on the files, so saves that write a new file
// and rename it over the old one are seen like saves in place. poll() never
// blocks; it says a save has settled once a file was closed after writing or
// renamed into place.
//
// Threading: one thread (the play loop's).
#pragma once

#include "base/status.h"

#include <string>
#include <vector>

class ShaderWatcher {
 public:
  // Watches dir for saves of the files called names.
  ShaderWatcher(const std::string& dir, std::vector<std::string> names);
  ~ShaderWatcher();
  ShaderWatcher(const ShaderWatcher&) = delete;
  ShaderWatcher& operator=(const ShaderWatcher&) = delete;

  // Success while watching; else why not.
  const Status& watching() const { return watching_; }
  // True when one of the files was saved since the last call; `which`
  // names the last one saved.
  bool poll(std::string& which);

 private:
  std::string dir_;
  std::vector<std::string> names_;
  int fd_ = -1;
  int watch_ = -1;
  Status watching_;
};
