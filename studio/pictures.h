// pictures.h — the `pictures` command: the gallery listed, a picture's
// settings described, or (sheet.cpp) every picture on one contact sheet.
#pragma once

#include <string>

#include "cli.h"

// Each returns the process's exit status.
int runPictures(const std::string& describe, bool palettes);
int runSheet(const SheetOptions& options);
