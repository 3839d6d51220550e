// places.h — where the folders shipped with the program are: the installed
// share folder beside the program, and the source tree's when the program
// runs from its own build tree.
//
// Threading: plain functions; any thread.
#pragma once

#include <string>
#include <vector>

// The places `folder` (Shaders, pictures) may be, in the order to look.
std::vector<std::string> shippedPlaces(const std::string& folder);
