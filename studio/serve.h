// serve.h — `vrax-studio serve`: the studio as a page in a browser. The
// page lists the folder's songs and the pictures, shows stills and short
// clips made by the studio itself, and queues renders: each a project file
// written beside its video and rendered by a child `vrax-studio render`.
//
// Threading: the command's thread listens; the HTTP library's pool answers
// requests; one thread waits for the signals that end the server.
#pragma once

#include <string>

struct ServeOptions {
  std::string folder = ".";
  int port = 8765;
  std::string host = "127.0.0.1";
  bool open = false;  // --open: the desktop's browser at the address
};

int runServe(const ServeOptions& options);
