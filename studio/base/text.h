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

// A small text file whole, without a leading byte-order mark: refused when
// missing, anything but a regular file (a FIFO is refused at once, never
// waited on), or larger than maxBytes ("cannot use PATH: it is larger than
// TOO_LARGE").
Result<std::string> readSmallFile(const std::string& path, std::uintmax_t maxBytes, const std::string& tooLarge);

// What a file of this st_mode is, for a message: "a directory", "a pipe (FIFO)", ...
std::string fileKind(unsigned mode);

// Text fit for one line of a terminal: control bytes and bytes that are not
// whole UTF-8 are written as \xNN.
std::string printable(const std::string& text);
// A file name for a message: as it is when plain, else printable and in quotes.
std::string quotedName(const std::string& name);
// Text that is shown or written as one line (a title, a chapter's name):
// each run of control bytes (a newline, a tab) becomes one space, and
// spaces at either end go.
std::string oneLine(const std::string& text);
// What players call an untagged song: its file's name without the folder,
// the extension or a leading track number ("04 interlude.wav": "interlude").
std::string songNameOfFile(const std::string& path);
// Cuts text to at most `bytes`, never inside a UTF-8 sequence.
void cutUtf8(std::string& text, size_t bytes);
