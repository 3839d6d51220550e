// served.h — what the server's routes share: the folder, the queue, the
// limits, and the helpers that answer a request. The routes themselves are
// in routes.cpp (the page, the lists, the queue) and previews.cpp (stills,
// clips, estimates); serve.cpp guards every request before any of them.
//
// Threading: every route runs on one of the HTTP library's pool threads;
// what Served holds is either fixed before the server starts or guarded by
// its own lock (JobQueue, ServedFolder's cache, Gate, momentsLock).
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "base/status.h"
#include "server/folder.h"
#include "server/jobs.h"
#include "server/project.h"

namespace served {

// A song a person drops on the page: an hour of WAV is about 600 MB; a
// long lossless album track fits in this.
inline constexpr size_t kMaxUpload = 512u << 20;
inline constexpr int kMaxUploads = 100;
// A page's request other than an upload is a few kilobytes.
inline constexpr size_t kMaxRequest = 256u << 10;
// Stills and clips made at once: more would only share two cores slower.
inline constexpr int kPreviewsAtOnce = 2;
inline constexpr int kPreviewSeconds = 60;  // past this a preview is stopped
inline constexpr double kClipSeconds = 4;

// Options that name files: each must be under the folder (or one of the
// words the option takes instead of a file).
inline const char* const kFileOptions[] = {"shaders", "image", "background", "logo", "lyrics", "font"};
// What a preview sets itself: its moment, size and a quick encode.
inline const char* const kReplaced[] = {"from", "to", "size", "for", "fps", "fade-in", "fade-out", "crf", "preset"};

// At most `count` holders at once.
class Gate {
 public:
  explicit Gate(int count) : free_(count) {}
  // Held for its scope.
  struct Pass {
    explicit Pass(Gate& gate) : gate_(gate) { gate_.enter(); }
    ~Pass() { gate_.leave(); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

   private:
    Gate& gate_;
  };

 private:
  void enter() {
    std::unique_lock<std::mutex> hold(lock_);
    wake_.wait(hold, [&] { return free_ > 0; });
    --free_;
  }
  void leave() {
    std::lock_guard<std::mutex> hold(lock_);
    ++free_;
    wake_.notify_one();
  }

  std::mutex lock_;
  std::condition_variable wake_;
  int free_;
};

// A private folder for previews, removed with what is in it.
struct ScratchFolder {
  std::string path;
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
};

struct Served {
  ServedFolder folder;
  JobQueue jobs;
  std::string token;
  std::vector<std::string> hosts;  // what a Host header may say
  std::string studio;              // this program, for the children
  std::string page;                // the page's files
  std::vector<ProjectOption> table;
  std::string options;  // render's option table as the page's controls take it (JSON)
  ScratchFolder scratch;
  Gate previews{kPreviewsAtOnce};
  std::atomic<int> uploads{0};
  std::atomic<int> clips{0};
  std::mutex momentsLock;
  std::map<std::string, double> loudest;  // by song file

  Served(const std::string& where, const std::string& program)
      : folder(where), jobs(program, folder.path()), studio(program) {}
};

void sendError(httplib::Response& res, int status, const std::string& why);
// A file by its real path, in ranges where the browser asks (a video's seek).
void sendFile(httplib::Response& res, const std::string& path);
// The request's JSON body and its project (known options of the right
// types, every file under the folder); false, with the error sent, when not.
bool readProjectRequest(Served& s, const httplib::Request& req, httplib::Response& res, nlohmann::json& body,
                        Project& project);

void addPageRoutes(httplib::Server& server, Served& s);
void addListRoutes(httplib::Server& server, Served& s);
void addPreviewRoutes(httplib::Server& server, Served& s);
void addJobRoutes(httplib::Server& server, Served& s);

}  // namespace served
