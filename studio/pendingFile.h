// pendingFile.h — a file written under a hidden name beside its target and
// given the target's name only once complete, so no reader ever sees half a
// file under that name and a failed write leaves nothing behind.
//
// The hidden name is ".NAME.partial-PID", cut to fit the file system's
// 255-byte limit. A process killed outright cannot remove its hidden file, so
// making a new one for the same target first removes those whose process no
// longer exists; a live render's file is never touched.
//
// While a PendingFile exists its path is registered with the interrupt
// handler, which removes it if a second signal ends the process.
//
// Threading: one thread at a time.
#pragma once

#include <string>

class PendingFile {
 public:
  PendingFile(const std::string& target, bool overwrite);
  // Removes the hidden file unless it was committed.
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return temp_; }
  // Gives the written file the target's name. Without overwrite an existing
  // target is never replaced: false, and the hidden file is kept, named in error.
  bool commit(std::string& error);

  // The hidden name for target as process pid would make it.
  static std::string hiddenName(const std::string& target, long pid);
  // Removes hidden files of target left by processes that no longer run;
  // returns how many.
  static int removeLeftovers(const std::string& target);

 private:
  std::string target_;
  std::string temp_;
  bool overwrite_;
  bool committed_ = false;
};
