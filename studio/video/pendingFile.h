// pendingFile.h — a file written under a hidden name beside its target and
// given the target's name only once complete, so no reader ever sees half a
// file under that name and a failed write leaves nothing behind.
//
// The hidden name is ".NAME.partial-PID" (".NAME.partial-PID-N" when another
// process, in another PID namespace, holds that one), cut to fit the file
// system's 255-byte limit. The writer holds an advisory lock (flock) on it
// from its creation to its end. A process killed outright cannot remove its
// hidden file, so making a new one for the same target first removes those
// whose lock is free and whose process is gone here: a live render's file is
// never touched, even one in another container sharing the folder.
//
// A file this program says it kept is never given a hidden name: when the
// target appeared meanwhile (or became something other than a file), the new
// file is named "NAME (2).EXT", the next free number, else a name with the
// time and process in it, and the message says so. Finished work is never
// removed for want of a name: at worst it stays under its hidden name, which
// the message gives.
//
// While a PendingFile exists its hidden path is guarded (GuardedPath): the
// interrupt handler removes it if a second signal ends the process, beside
// any other writer's.
//
// Threading: one thread at a time.
#pragma once

#include "base/interrupt.h"
#include "base/status.h"

#include <string>
#include <vector>

class PendingFile {
 public:
  PendingFile(const std::string& target, bool overwrite);
  // Removes the hidden file unless it was committed, then lets go of its lock.
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Where to write; when no hidden file could be made, a path no open
  // succeeds at, and made() says why.
  const std::string& path() const { return temp_; }
  const Status& made() const { return made_; }
  // Gives the written file the target's name. Without overwrite an existing
  // target is never replaced: refused, and the new file is kept under a free
  // name of its own, which the reason names.
  Status commit();

  // The hidden name for target as process pid would make it.
  static std::string hiddenName(const std::string& target, long pid);
  // Removes hidden files of target left by processes that no longer run;
  // returns how many.
  static int removeLeftovers(const std::string& target);
  // "NAME (n).EXT" beside target.
  static std::string numberedName(const std::string& target, int n);

 private:
  void create();
  Status keepUnderAnotherName();

  std::string target_;
  std::string temp_;
  int lock_ = -1;  // the hidden file, held locked
  bool owned_ = false;  // temp_ was made by this writer, so is removed by it
  Status made_;
  bool overwrite_;
  bool committed_ = false;
  GuardedPath guard_;
};

// Whether a new file may be written under target's name: its folder is
// there, and what the name holds now, if anything, is a file (or a link) that
// overwrite allows replacing. A folder, device, pipe or socket is refused
// whatever overwrite says. `shown` is how messages name the target, `role`
// what it is to the command ("OUTPUT").
Status checkTarget(const std::string& target, const std::string& shown, const std::string& role, bool overwrite);

// The two paths name one file: one inode, or the same path once resolved.
bool sameFile(const std::string& a, const std::string& b);
// The first of inputs that output would write over, or "" for none.
std::string inputAt(const std::string& output, const std::vector<std::string>& inputs);
