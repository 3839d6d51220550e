// render.h — the `render` command: a sound to a video or one picture.
#pragma once

#include "cli.h"

// Returns the process's exit status.
int runRender(const RenderOptions& options);
