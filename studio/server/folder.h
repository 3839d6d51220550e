// folder.h — what the page may see and add in the folder it serves: its
// songs with their tags and lengths, its Shadertoy shaders, the files under
// it (never above it, never through a link leading out, never its hidden
// files), and free names for what it adds.
//
// Threading: any thread; the song list's cache takes its own lock.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/status.h"

struct SongEntry {
  std::string file;  // relative to the folder
  std::map<std::string, std::string> tags;
  double seconds = 0;
};

// Why a name is refused: it reaches out of the folder (or into a hidden
// file), or there is nothing there.
enum class Refusal { Forbidden, Missing };

class ServedFolder {
 public:
  // folder must exist; it is taken by its real path.
  explicit ServedFolder(const std::string& folder);
  const std::string& path() const { return folder_; }

  // The real path of `name` (relative, '/'-separated) under the folder, or
  // why not (refusal() then says which kind).
  Result<std::string> resolve(const std::string& name, Refusal* refusal = nullptr) const;
  std::vector<SongEntry> songs();
  // Shadertoy exports (.json), single-pass files (.glsl) and folders of
  // passes, by name relative to the folder.
  std::vector<std::string> shaders() const;
  // Files of the folder (not in folders under it) whose names end with one
  // of `extensions` (lower case, with the dot), sorted.
  std::vector<std::string> filesEndingWith(const std::vector<std::string>& extensions) const;
  // A new file's name for an upload: a plain name of a song's kind; refused
  // when it is not, or when the folder has it already.
  Result<std::string> newSongName(const std::string& name) const;
  // "NAME.EXT" free in the folder, else "NAME-2.EXT", "NAME-3.EXT", ...
  std::string freeName(const std::string& stem, const std::string& extension) const;

 private:
  std::string folder_;
  std::mutex cacheLock_;
  struct Cached {
    long long stamp = 0;
    SongEntry entry;
  };
  std::map<std::string, Cached> cache_;
};

// Whether a file name has one of the extensions render reads a song from.
bool isSongName(const std::string& name);
