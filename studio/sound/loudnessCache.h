// loudnessCache.h — a song's measured loudness kept between runs, so a
// still, a span or a second render of the same song does not decode the
// whole song again to level it.
//
// One small file per song in $XDG_CACHE_HOME/vrax-studio/loudness (else
// ~/.cache/vrax-studio/loudness), named by a hash of its key and holding
// the key itself: the song's device, inode, size and modification time (in
// ns) and a fingerprint of its contents (its first and last 64 kB). Any of
// them changed, or an entry that does not read back whole, is not a small
// file (a pipe, a link to a device) or holds a loudness no song has:
// measured again. The folder keeps the 2,000 newest entries.
// An entry is written under a temporary name and renamed, so two runs at
// once each read a whole entry or none. A cache that cannot be read or
// written costs only the measuring.
//
// Threading: plain functions; any thread.
#pragma once

#include <string>

#include "base/status.h"

// The song's integrated loudness (LUFS; −∞ for silence), from the cache
// when it holds this very file, else measured (measureLoudness) and kept.
// fromCache says which.
Result<double> measureLoudnessKept(const std::string& path, bool& fromCache);

// Where entries are kept ("" when neither XDG_CACHE_HOME nor HOME is set).
std::string loudnessCacheFolder();
