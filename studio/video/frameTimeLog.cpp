// frameTimeLog.cpp — see frameTimeLog.h.
#include "video/frameTimeLog.h"

#include <fstream>

#include "video/pendingFile.h"

Status FrameTimeLog::write() const {
  if (path_.empty()) {
    return Status();
  }
  PendingFile file(path_, overwrite_);
  {
    std::ofstream out(file.path());
    for (double ms : times_) {
      out << ms << "\n";
    }
    out.close();
    if (!out) {
      return Status::failure("cannot write the frame times to " + path_);
    }
  }
  return file.commit();
}
