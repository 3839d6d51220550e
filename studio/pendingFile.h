// pendingFile.h — a file written under a hidden name beside its target and
// given the target's name only once complete, so no reader ever sees half a
// file under that name and a failed write leaves nothing behind.
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

 private:
  std::string target_;
  std::string temp_;
  bool overwrite_;
  bool committed_ = false;
};
