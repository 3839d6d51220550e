// pendingFile.cpp — see pendingFile.h.
#include "pendingFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

PendingFile::PendingFile(const std::string& target, bool overwrite) : target_(target), overwrite_(overwrite) {
  const std::filesystem::path t(target);
  const std::string dir = t.has_parent_path() ? t.parent_path().string() + "/" : "";
  temp_ = dir + "." + t.filename().string() + ".partial-" + std::to_string(getpid());
}

PendingFile::~PendingFile() {
  if (!committed_) {
    std::remove(temp_.c_str());
  }
}

bool PendingFile::commit(std::string& error) {
  if (overwrite_) {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
      error = "cannot name the file " + target_ + ": " + std::strerror(errno);
      return false;
    }
    committed_ = true;
    return true;
  }
  // A link fails where the name is taken, so a file that appeared meanwhile is kept.
  if (link(temp_.c_str(), target_.c_str()) == 0) {
    std::remove(temp_.c_str());
    committed_ = true;
    return true;
  }
  if (errno == EEXIST) {
    committed_ = true;  // keep what was made
    error = target_ + " appeared while rendering and is kept; the new file is " + temp_;
    return false;
  }
  // Filesystems without links: check, then rename.
  std::error_code ec;
  if (!std::filesystem::exists(target_, ec) && std::rename(temp_.c_str(), target_.c_str()) == 0) {
    committed_ = true;
    return true;
  }
  error = "cannot name the file " + target_ + ": " + std::strerror(errno);
  return false;
}
