// play.cpp — the `play` command (placeholder until it lands).
#include <iostream>

#include "cli.h"

int runPlay(const PlayOptions&) {
  std::cerr << "vrax-studio: play is not built yet" << std::endl;
  return kExitFailure;
}
