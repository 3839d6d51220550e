// text.h — how the studio writes times and reads file names, in one place.
//
// Threading: plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"

// Seconds as short as they can be written without losing what was given ("42.5 s").
std::string secondsText(double seconds);
// A sound position to the millisecond ("61.250 s").
std::string secondsText(int64_t frame, int64_t rate);
// Whether path ends in extension (".png"), in any case.
bool hasExtension(const std::string& path, const std::string& extension);

// A small text file whole: refused when missing, a folder, or larger than
// maxBytes ("cannot use PATH: it is larger than TOO_LARGE").
Result<std::string> readSmallFile(const std::string& path, std::uintmax_t maxBytes, const std::string& tooLarge);
