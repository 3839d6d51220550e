// pendingFile.cpp — see pendingFile.h.
#include "video/pendingFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "base/text.h"

#include "base/interrupt.h"

namespace {

constexpr size_t kMaxName = 255;
const char kMarker[] = ".partial-";
// Room after the marker: a pid, a dash and a small number.
constexpr size_t kSuffixRoom = 10 + 1 + 4;

std::string folderOf(const std::string& target) {
  const std::filesystem::path t(target);
  return t.has_parent_path() ? t.parent_path().string() + "/" : "";
}


// "." + as much of the name as fits + ".partial-", leaving room for any pid.
std::string hiddenStem(const std::string& target) {
  std::string name = std::filesystem::path(target).filename().string();
  cutUtf8(name, kMaxName - 1 - (sizeof kMarker - 1) - kSuffixRoom);
  return "." + name + kMarker;
}

bool processGone(long pid) {
  return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// "PID" or "PID-N": the pid, or -1 when the text is not such a suffix.
long suffixPid(const std::string& suffix) {
  const size_t dash = suffix.find('-');
  const std::string pid = suffix.substr(0, dash);
  const std::string number = dash == std::string::npos ? "1" : suffix.substr(dash + 1);
  auto digits = [](const std::string& s, size_t most) {
    return !s.empty() && s.size() <= most && s.find_first_not_of("0123456789") == std::string::npos;
  };
  return digits(pid, 10) && digits(number, 4) ? std::stol(pid) : -1;
}

// Removes path if nobody holds its lock; the lock is held while unlinking, so
// a writer that locks it later sees its name gone and starts again.
bool removeIfUnlocked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info {};
  bool removed = false;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
    removed = unlink(path.c_str()) == 0;
  }
  close(fd);
  return removed;
}

}  // namespace

std::string PendingFile::hiddenName(const std::string& target, long pid) {
  return folderOf(target) + hiddenStem(target) + std::to_string(pid);
}

std::string PendingFile::numberedName(const std::string& target, int n) {
  const std::filesystem::path t(target);
  std::string stem = t.stem().string();
  const std::string extension = t.extension().string();
  const std::string number = " (" + std::to_string(n) + ")";
  cutUtf8(stem, kMaxName - number.size() - extension.size());
  return folderOf(target) + stem + number + extension;
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
    const long pid = suffixPid(name.substr(stem.size()));
    // Both: the lock says nobody writes it, the pid that its writer is not a
    // process of an older build here (which held no lock).
    if (pid > 0 && processGone(pid) && removeIfUnlocked(folder + name)) {
      ++removed;
    }
  }
  return removed;
}

PendingFile::PendingFile(const std::string& target, bool overwrite) : target_(target), overwrite_(overwrite) {
  removeLeftovers(target);
  create();
  if (owned_) {
    guard_.hold(temp_.c_str());
  }
}

// Makes the hidden file and locks it. A name held by another PID namespace's
// process of the same number gets a number; a name removed by a reaper
// between creating and locking is made again. Where the file cannot be made
// at all, the writer's own open says why.
void PendingFile::create() {
  const std::string base = hiddenName(target_, static_cast<long>(getpid()));
  temp_ = base;
  for (int attempt = 0, n = 1; attempt < 1000; ++attempt) {
    const int fd = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno != EEXIST) {
        made_ = Status::failure("cannot write " + quotedName(target_) + ": " + std::strerror(errno));
        return;
      }
      // A dead writer's file of this name goes; a live one's keeps its name.
      if (!removeIfUnlocked(temp_)) {
        temp_ = base + "-" + std::to_string(++n);
      }
      continue;
    }
    struct stat held {};
    struct stat named {};
    if (flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 && stat(temp_.c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
      lock_ = fd;
      owned_ = true;
      return;
    }
    close(fd);
  }
  // Every name tried is someone else's: none of them is ours to write or remove.
  made_ = Status::failure("cannot write " + quotedName(target_) +
                          ": every hidden name beside it is held by another writer");
  // No open of this path succeeds, so a writer that goes ahead fails there.
  temp_ = base + "-unmade/";
}

PendingFile::~PendingFile() {
  guard_.release();
  if (owned_ && !committed_) {
    std::remove(temp_.c_str());
  }
  if (lock_ >= 0) {
    close(lock_);
    lock_ = -1;
  }
}

namespace {

// What a name holds now: nothing, a file or link to one (which may be
// replaced), or something else (never replaced).
enum class Held { Nothing, File, Other };

Held heldAt(const std::string& path) {
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0) {
    return Held::Nothing;
  }
  struct stat target {};
  if (S_ISREG(link.st_mode) || (S_ISLNK(link.st_mode) && (stat(path.c_str(), &target) != 0 || S_ISREG(target.st_mode)))) {
    return Held::File;
  }
  return Held::Other;
}

// "NAME (2026-12-08 16.40.05).EXT", then with the process and a count.
std::string datedName(const std::string& target, int n) {
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  char when[64];
  std::strftime(when, sizeof when, "%Y-%m-%d %H.%M.%S", &local);
  std::string stamp = when;
  if (n > 0) {
    stamp += " " + std::to_string(static_cast<long>(getpid())) + "-" + std::to_string(n);
  }
  const std::filesystem::path t(target);
  std::string stem = t.stem().string();
  const std::string extension = t.extension().string();
  cutUtf8(stem, kMaxName - stamp.size() - 3 - extension.size());
  return folderOf(target) + stem + " (" + stamp + ")" + extension;
}

}  // namespace

Status PendingFile::commit() {
  if (!owned_) {
    return made_;
  }
  if (overwrite_ && heldAt(target_) != Held::Other) {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
      return Status::failure("cannot name the file " + quotedName(target_) + ": " + std::strerror(errno));
    }
    guard_.release();
    committed_ = true;
    return Status();
  }
  // A link fails where the name is taken, so a file that appeared meanwhile is kept.
  if (heldAt(target_) != Held::Nothing) {
    return keepUnderAnotherName();
  }
  if (link(temp_.c_str(), target_.c_str()) == 0) {
    guard_.release();
    std::remove(temp_.c_str());
    committed_ = true;
    return Status();
  }
  if (errno == EEXIST) {
    return keepUnderAnotherName();
  }
  // Filesystems without links: check, then rename.
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(target_, ec)) &&
      std::rename(temp_.c_str(), target_.c_str()) == 0) {
    guard_.release();
    committed_ = true;
    return Status();
  }
  return Status::failure("cannot name the file " + quotedName(target_) + ": " + std::strerror(errno));
}

// The target's name is taken by what must not be replaced: the new file gets
// the first free numbered or dated name, under a name no reaper takes for a
// leftover; kept under its hidden name when none can be made.
Status PendingFile::keepUnderAnotherName() {
  const std::string taken = quotedName(target_) + (heldAt(target_) == Held::Other
                                                       ? " is not a file (a folder, device or pipe) and is left alone"
                                                       : " appeared while rendering and is kept");
  int error = EEXIST;
  for (int n = 2; n < 1000 + 100 && error == EEXIST; ++n) {
    const std::string kept = n < 1000 ? numberedName(target_, n) : datedName(target_, n - 1000);
    if (link(temp_.c_str(), kept.c_str()) == 0) {
      guard_.release();
      std::remove(temp_.c_str());
      committed_ = true;
      return Status::failure(taken + "; the new file is " + quotedName(kept));
    }
    error = errno;
  }
  // Never thrown away: the finished file stays where it was written.
  guard_.release();
  committed_ = true;
  return Status::failure(taken + "; the new file could not be named (" + std::strerror(error) + ") and is left as " +
                         quotedName(temp_));
}

Status checkTarget(const std::string& target, const std::string& shown, const std::string& role, bool overwrite) {
  struct stat info {};
  const bool exists = lstat(target.c_str(), &info) == 0;
  struct stat followed {};
  const bool leads = exists && stat(target.c_str(), &followed) == 0;
  if (leads && S_ISDIR(followed.st_mode)) {
    return Status::failure(shown + " is a folder; " + role + " must name a file");
  }
  if (leads && !S_ISREG(followed.st_mode)) {
    return Status::failure(shown + " is " + fileKind(followed.st_mode) + ", which is never replaced; " + role +
                           " must name a file");
  }
  // symlink_status: a dangling link is a name that is taken too.
  if (exists && !overwrite) {
    return Status::failure(shown + " exists; pass --overwrite to replace it");
  }
  const std::filesystem::path parent = std::filesystem::path(target).parent_path();
  const std::string folder = parent.empty() ? "." : parent.string();
  struct stat place {};
  if (stat(folder.c_str(), &place) != 0) {
    return Status::failure(shown + " cannot be written: its folder " + quotedName(folder) + " does not exist");
  }
  if (!S_ISDIR(place.st_mode)) {
    return Status::failure(shown + " cannot be written: " + quotedName(folder) + " is not a folder");
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return Status::failure(shown + " cannot be written: " + std::strerror(errno) + " (its folder " +
                           quotedName(folder) + ")");
  }
  return Status();
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  std::error_code ea;
  std::error_code eb;
  const auto ca = std::filesystem::weakly_canonical(a, ea);
  const auto cb = std::filesystem::weakly_canonical(b, eb);
  return !ea && !eb && ca == cb;
}

std::string inputAt(const std::string& output, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    if (!input.empty() && sameFile(output, input)) {
      return input;
    }
  }
  return "";
}
