// play.h — the `play` command: a song or a capture in a window (or sent as a
// stream), the shader pair reloaded whenever it is saved.
#pragma once

#include "cli.h"

// Returns the process's exit status.
int runPlay(const PlayOptions& options);
