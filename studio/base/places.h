// places.h — where the folders shipped with the program are: the installed
// share folder beside the program, and the source tree's when the program
// runs from its own build tree.
//
// Threading: plain functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The places `folder` (Shaders, pictures) may be, in the order to look.
std::vector<std::string> shippedPlaces(const std::string& folder);

// The studio's cache folder `name` ($XDG_CACHE_HOME/vrax-studio/NAME, else
// ~/.cache/vrax-studio/NAME); "" when neither variable is set.
std::string userCacheFolder(const std::string& name);

// Removes the oldest regular files of folder whose names end with suffix
// ("" for any) until `keep` are left.
void keepNewestFiles(const std::string& folder, size_t keep, const std::string& suffix = "");

// FNV-1a over text, from `hash` (a running hash, or the offset basis).
uint64_t fnv1a(const std::string& text, uint64_t hash = 1469598103934665603ull);
