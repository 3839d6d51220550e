// pendingFile.cpp — see pendingFile.h.
#include "pendingFile.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "interrupt.h"

namespace {

constexpr size_t kMaxName = 255;
const char kMarker[] = ".partial-";

std::string folderOf(const std::string& target) {
  const std::filesystem::path t(target);
  return t.has_parent_path() ? t.parent_path().string() + "/" : "";
}

// "." + as much of the name as fits + ".partial-", leaving room for any pid.
std::string hiddenStem(const std::string& target) {
  std::string name = std::filesystem::path(target).filename().string();
  const size_t room = kMaxName - 1 - (sizeof kMarker - 1) - 10;
  if (name.size() > room) {
    size_t cut = room;
    // Never cut inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    name.resize(cut);
  }
  return "." + name + kMarker;
}

bool processGone(long pid) {
  return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string PendingFile::hiddenName(const std::string& target, long pid) {
  return folderOf(target) + hiddenStem(target) + std::to_string(pid);
}

int PendingFile::removeLeftovers(const std::string& target) {
  const std::string folder = folderOf(target);
  const std::string stem = hiddenStem(target);
  std::error_code ec;
  std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec);
  int removed = 0;
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= stem.size() || name.compare(0, stem.size(), stem) != 0) {
      continue;
    }
    const std::string digits = name.substr(stem.size());
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    struct stat info {};
    const std::string path = folder + name;
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && processGone(std::stol(digits)) &&
        unlink(path.c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

PendingFile::PendingFile(const std::string& target, bool overwrite) : target_(target), overwrite_(overwrite) {
  removeLeftovers(target);
  temp_ = hiddenName(target, static_cast<long>(getpid()));
  guardFile(temp_.c_str());
}

PendingFile::~PendingFile() {
  guardFile(nullptr);
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
    guardFile(nullptr);
    committed_ = true;
    return true;
  }
  // A link fails where the name is taken, so a file that appeared meanwhile is kept.
  if (link(temp_.c_str(), target_.c_str()) == 0) {
    guardFile(nullptr);
    std::remove(temp_.c_str());
    committed_ = true;
    return true;
  }
  if (errno == EEXIST) {
    guardFile(nullptr);
    committed_ = true;  // keep what was made
    error = target_ + " appeared while rendering and is kept; the new file is " + temp_;
    return false;
  }
  // Filesystems without links: check, then rename.
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(target_, ec)) &&
      std::rename(temp_.c_str(), target_.c_str()) == 0) {
    guardFile(nullptr);
    committed_ = true;
    return true;
  }
  error = "cannot name the file " + target_ + ": " + std::strerror(errno);
  return false;
}
