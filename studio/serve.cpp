// serve.cpp — see serve.h.
//
// Every request needs the token the address carries (a cookie once the page
// is loaded) and a Host header naming the address served, so a page from
// elsewhere cannot drive it, not even through a name that resolves here
// (DNS rebinding). Nothing from a request reaches a shell: renders are
// child processes started from argument lists.
#include "serve.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <httplib.h>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base/places.h"
#include "cli.h"
#include "picture/gallery.h"
#include "picture/settings.h"
#include "project.h"
#include "server/child.h"
#include "server/folder.h"
#include "server/jobs.h"
#include "sound/moments.h"

extern char** environ;

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// A song a person drops on the page: an hour of WAV is about 600 MB; a
// long lossless album track fits in this.
constexpr size_t kMaxUpload = 512u << 20;
constexpr int kMaxUploads = 100;
// A page's request other than an upload is a few kilobytes.
constexpr size_t kMaxRequest = 256u << 10;
// Stills and clips made at once: more would only share two cores slower.
constexpr int kPreviewsAtOnce = 2;
constexpr int kPreviewSeconds = 60;  // past this a preview is stopped
constexpr double kClipSeconds = 4;

// Options that name files: each must be under the folder (or one of the
// words the option takes instead of a file).
const char* const kFileOptions[] = {"shaders", "image", "background", "logo", "lyrics", "font"};
// What a preview sets itself: its moment, size and a quick encode.
const char* const kReplaced[] = {"from", "to", "size", "for", "fps", "fade-in", "fade-out", "crf", "preset"};

std::string randomToken() {
  unsigned char bytes[16] = {};
  std::ifstream random("/dev/urandom", std::ios::binary);
  random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return differ == 0;
}

std::string contentType(const std::string& path) {
  static const std::map<std::string, std::string> kTypes = {
      {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".json", "application/json"},
      {".png", "image/png"},                 {".mp4", "video/mp4"},
      {".webm", "video/webm"},               {".mov", "video/quicktime"},
      {".mkv", "video/x-matroska"},          {".wav", "audio/wav"},
      {".flac", "audio/flac"},               {".mp3", "audio/mpeg"},
      {".ogg", "audio/ogg"},                 {".oga", "audio/ogg"},
      {".opus", "audio/ogg"},                {".m4a", "audio/mp4"},
      {".txt", "text/plain; charset=utf-8"}, {".lrc", "text/plain; charset=utf-8"}};
  const auto found = kTypes.find(fs::path(path).extension().string());
  return found == kTypes.end() ? "application/octet-stream" : found->second;
}

// At most `count` holders at once.
class Gate {
 public:
  explicit Gate(int count) : free_(count) {}
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

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  int free_;
};

// A private folder for previews, removed with what is in it.
struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    char name[] = "/tmp/vrax-serve-XXXXXX";
    if (mkdtemp(name) != nullptr) {
      path = name;
    }
  }
  ~ScratchFolder() {
    std::error_code error;
    if (!path.empty()) {
      fs::remove_all(path, error);
    }
  }
};

struct Served {
  ServedFolder folder;
  JobQueue jobs;
  std::string token;
  std::vector<std::string> hosts;  // what a Host header may say
  std::string studio;              // this program, for the children
  std::string page;                // the page's files
  std::vector<ProjectOption> table;
  ScratchFolder scratch;
  Gate previews{kPreviewsAtOnce};
  std::atomic<int> uploads{0};
  std::atomic<int> clips{0};
  std::mutex momentsLock;
  std::map<std::string, double> loudest;  // by song file

  Served(const std::string& where, const std::string& program)
      : folder(where), jobs(program, folder.path()), studio(program) {}
};

void sendError(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(Json{{"error", why}}.dump(), "application/json");
}

std::string tokenOf(const httplib::Request& req) {
  if (req.has_param("token")) {
    return req.get_param_value("token");
  }
  if (req.has_header("X-Vrax-Token")) {
    return req.get_header_value("X-Vrax-Token");
  }
  const std::string cookies = req.get_header_value("Cookie");
  const std::string key = "vrax_token=";
  for (size_t at = cookies.find(key); at != std::string::npos; at = cookies.find(key, at + 1)) {
    if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
      const size_t end = cookies.find(';', at);
      return cookies.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
    }
  }
  return "";
}

// Host first (a rebinding page knows no token, but it must not learn
// whether one is right), then the token.
httplib::Server::HandlerResponse guard(Served& s, const httplib::Request& req, httplib::Response& res) {
  const std::string host = req.get_header_value("Host");
  if (std::find(s.hosts.begin(), s.hosts.end(), host) == s.hosts.end()) {
    sendError(res, 403, "this server answers only at its own address");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (!sameText(tokenOf(req), s.token)) {
    sendError(res, 401, "the address's token is missing or wrong: open the address serve printed");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (req.body.size() > kMaxRequest && req.path != "/api/upload") {
    sendError(res, 413, "the request is too large");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

// A file by its real path, in ranges where the browser asks (a video's seek).
void sendFile(httplib::Response& res, const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) {
    sendError(res, 404, "no such file");
    return;
  }
  auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
  res.set_header("Cache-Control", "no-store");
  res.set_content_provider(static_cast<size_t>(size), contentType(path),
                           [file](size_t offset, size_t length, httplib::DataSink& sink) {
                             std::vector<char> buffer(std::min<size_t>(length, 1 << 16));
                             file->clear();
                             file->seekg(static_cast<std::streamoff>(offset));
                             file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                             const std::streamsize got = file->gcount();
                             return got > 0 && sink.write(buffer.data(), static_cast<size_t>(got));
                           });
}

void addPageRoutes(httplib::Server& server, Served& s) {
  server.Get("/", [&s](const httplib::Request& req, httplib::Response& res) {
    // Media and event requests cannot carry a header; a cookie of this
    // address only, never sent from another site's page, carries the token.
    res.set_header("Set-Cookie", "vrax_token=" + s.token + "; Path=/; HttpOnly; SameSite=Strict");
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' blob:; media-src 'self' blob:; connect-src 'self'");
    (void)req;
    sendFile(res, s.page + "/index.html");
    res.set_header("Content-Type", "text/html; charset=utf-8");
  });
  server.Get(R"(/page/([a-z]+\.(js|css)))", [&s](const httplib::Request& req, httplib::Response& res) {
    sendFile(res, s.page + "/" + req.matches[1].str());
  });
  server.Get(R"(/files/(.+))", [&s](const httplib::Request& req, httplib::Response& res) {
    Refusal refusal = Refusal::Missing;
    Result<std::string> path = s.folder.resolve(req.matches[1].str(), &refusal);
    if (!path) {
      sendError(res, refusal == Refusal::Forbidden ? 403 : 404, path.why());
      return;
    }
    sendFile(res, path.value());
  });
}

Json settingsJson(const std::string& picture) {
  Json list = Json::array();
  Result<GalleryEntry> entry = findGalleryPicture(picture);
  if (!entry) {
    return list;
  }
  Result<std::vector<Setting>> settings = readSettings(entry.value().path);
  if (!settings) {
    return list;
  }
  for (const Setting& setting : settings.value()) {
    Json row{{"name", setting.name}, {"colour", setting.colour}, {"meaning", setting.meaning}};
    if (setting.colour) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "#%02x%02x%02x", static_cast<int>(setting.value[0] * 255 + 0.5f),
                    static_cast<int>(setting.value[1] * 255 + 0.5f), static_cast<int>(setting.value[2] * 255 + 0.5f));
      row["default"] = hex;
    } else {
      row["default"] = setting.value[0];
      if (setting.ranged) {
        row["low"] = setting.low;
        row["high"] = setting.high;
      }
    }
    list.push_back(row);
  }
  return list;
}

void addListRoutes(httplib::Server& server, Served& s) {
  server.Get("/api/songs", [&s](const httplib::Request&, httplib::Response& res) {
    Json list = Json::array();
    for (const SongEntry& song : s.folder.songs()) {
      list.push_back(Json{{"file", song.file}, {"tags", song.tags}, {"seconds", song.seconds}});
    }
    res.set_content(list.dump(), "application/json");
  });
  server.Get("/api/pictures", [&s](const httplib::Request&, httplib::Response& res) {
    Json gallery = Json::array();
    for (const GalleryEntry& entry : galleryPictures()) {
      gallery.push_back(Json{{"name", entry.name}, {"about", entry.about}});
    }
    Json palettes = Json::array();
    for (const std::string& name : paletteNames()) {
      palettes.push_back(name);
    }
    const Json files{{"lyrics", s.folder.filesEndingWith({".lrc", ".srt", ".vtt", ".ass", ".ssa"})},
                     {"images", s.folder.filesEndingWith({".png", ".jpg", ".jpeg"})}};
    res.set_content(Json{{"gallery", gallery}, {"shaders", s.folder.shaders()}, {"palettes", palettes}, {"files", files}}
                        .dump(),
                    "application/json");
  });
  server.Get("/api/settings", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(settingsJson(req.get_param_value("picture")).dump(), "application/json");
  });
  server.Get("/api/projects", [&s](const httplib::Request&, httplib::Response& res) {
    Json list = Json::array();
    std::error_code error;
    for (fs::directory_iterator it(s.folder.path(), error); !error && it != fs::directory_iterator();
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name[0] != '.' && isProjectFile(name)) {
        list.push_back(name);
      }
    }
    std::sort(list.begin(), list.end());
    res.set_content(list.dump(), "application/json");
  });
  server.Get("/api/project", [&s](const httplib::Request& req, httplib::Response& res) {
    Result<std::string> path = s.folder.resolve(req.get_param_value("file"));
    if (!path || !isProjectFile(path.value())) {
      sendError(res, 404, "no such project");
      return;
    }
    Result<Project> project = readProject(path.value(), s.table);
    if (!project) {
      sendError(res, 422, project.why());
      return;
    }
    Json options = Json::object();
    for (const auto& [name, values] : project.value().options) {
      options[name] = values.size() == 1 ? Json(values[0]) : Json(values);
    }
    res.set_content(Json{{"songs", project.value().songs}, {"options", options}}.dump(), "application/json");
  });
}

// A page's project: known options of the right types, every file under the
// folder. Refused with the field's name.
Result<Project> checkedProject(Served& s, const Json& body) {
  if (!body.contains("project")) {
    return Status::failure("the request has no project");
  }
  Result<Project> project = projectFromText(body["project"].dump(), "the project", s.table);
  if (!project) {
    return project;
  }
  for (const std::string& song : project.value().songs) {
    if (!s.folder.resolve(song)) {
      return Status::failure("the project: songs: " + song + " is not a song in the folder");
    }
  }
  for (const auto& [name, values] : project.value().options) {
    if (std::find(std::begin(kFileOptions), std::end(kFileOptions), name) == std::end(kFileOptions)) {
      continue;
    }
    for (const std::string& value : values) {
      if (!(name == "lyrics" && value == "auto") && !s.folder.resolve(value)) {
        return Status::failure("the project: options." + name + ": " + value + " is not a file in the folder");
      }
    }
  }
  return project;
}

// The project's arguments with the preview's own span and size in place of its.
std::vector<std::string> previewArguments(Served& s, Project project, const std::string& output, double at,
                                          double until, const std::string& size) {
  project.options.erase(std::remove_if(project.options.begin(), project.options.end(),
                                       [](const auto& option) {
                                         return std::find(std::begin(kReplaced), std::end(kReplaced),
                                                          option.first) != std::end(kReplaced);
                                       }),
                        project.options.end());
  std::vector<std::string> arguments{"render"};
  for (const std::string& argument : projectArguments(project, s.folder.path() + "/x.vrax.json", s.table)) {
    arguments.push_back(argument);
  }
  const bool transparent = std::any_of(project.options.begin(), project.options.end(), [](const auto& option) {
    return option.first == "transparent" && option.second.front() == "true";
  });
  arguments.insert(arguments.end(), {output, "--from=" + std::to_string(at), "--size=" + size, "-q", "--overwrite"});
  if (until > at) {
    arguments.insert(arguments.end(), {"--to=" + std::to_string(until), "--fps=30", "--crf=26", "--preset=ultrafast"});
    if (transparent) {
      // A browser plays no alpha in an .mp4; the preview shows the layer over black.
      arguments.erase(std::remove(arguments.begin(), arguments.end(), "--transparent"), arguments.end());
    }
  }
  return arguments;
}

// Where a preview starts: a number, or "loudest" (the contact sheet's moment).
Result<double> previewMoment(Served& s, const Json& body, const Project& project) {
  const Json at = body.value("at", Json("loudest"));
  if (at.is_number()) {
    const double seconds = at.get<double>();
    if (!(seconds >= 0 && seconds <= 36000)) {
      return Status::failure("at must be seconds from 0 to 36000");
    }
    return seconds;
  }
  if (project.songs.empty()) {
    return 0.0;
  }
  const std::string song = project.songs.front();
  std::lock_guard<std::mutex> hold(s.momentsLock);
  if (s.loudest.count(song) == 0) {
    Result<SongMoments> moments = findMoments(s.folder.path() + "/" + song);
    s.loudest[song] = moments ? moments.value().loudest : 0.0;
  }
  return s.loudest[song];
}

void makePreview(Served& s, const httplib::Request& req, httplib::Response& res, bool clip) {
  Json body;
  try {
    body = Json::parse(req.body);
  } catch (const Json::exception&) {
    sendError(res, 400, "the request is not JSON");
    return;
  }
  Result<Project> project = checkedProject(s, body);
  if (!project) {
    sendError(res, 422, project.why());
    return;
  }
  Result<double> at = previewMoment(s, body, project.value());
  if (!at) {
    sendError(res, 422, at.why());
    return;
  }
  const std::string name = std::to_string(s.clips.fetch_add(1) % 64) + (clip ? ".mp4" : ".png");
  const std::string output = s.scratch.path + "/" + name;
  const std::vector<std::string> arguments =
      previewArguments(s, project.value(), output, at.value(), clip ? at.value() + kClipSeconds : 0, "640x360");
  s.previews.enter();
  Result<ChildEnd> ran = runStudio(s.studio, arguments, s.folder.path(), kPreviewSeconds);
  s.previews.leave();
  if (!ran || ran.value().status != 0) {
    sendError(res, 422, ran ? failureLine(ran.value().status, ran.value().lastLine) : ran.why());
    return;
  }
  if (clip) {
    res.set_content(Json{{"clip", "/clip/" + name}, {"at", at.value()}}.dump(), "application/json");
    return;
  }
  sendFile(res, output);
  res.set_header("X-Vrax-At", std::to_string(at.value()));
}

// How long the project's render would take here: `render --estimate`'s line.
void estimateRender(Served& s, const httplib::Request& req, httplib::Response& res) {
  Json body;
  try {
    body = Json::parse(req.body);
  } catch (const Json::exception&) {
    sendError(res, 400, "the request is not JSON");
    return;
  }
  Result<Project> project = checkedProject(s, body);
  if (!project) {
    sendError(res, 422, project.why());
    return;
  }
  const bool layer = std::any_of(project.value().options.begin(), project.value().options.end(), [](const auto& o) {
    return (o.first == "transparent" && o.second.front() == "true") || (o.first == "for" && o.second.front() == "layer");
  });
  std::vector<std::string> arguments{"render"};
  for (const std::string& argument : projectArguments(project.value(), s.folder.path() + "/x.vrax.json", s.table)) {
    arguments.push_back(argument);
  }
  arguments.insert(arguments.end(), {s.scratch.path + (layer ? "/estimate.mov" : "/estimate.mp4"), "--estimate"});
  s.previews.enter();
  Result<ChildEnd> ran = runStudio(s.studio, arguments, s.folder.path(), kPreviewSeconds);
  s.previews.leave();
  if (!ran || ran.value().status != 0) {
    sendError(res, 422, ran ? failureLine(ran.value().status, ran.value().lastLine) : ran.why());
    return;
  }
  res.set_content(Json{{"estimate", ran.value().lastLine}}.dump(), "application/json");
}

void addPreviewRoutes(httplib::Server& server, Served& s) {
  server.Post("/api/estimate", [&s](const httplib::Request& req, httplib::Response& res) { estimateRender(s, req, res); });
  server.Post("/api/still", [&s](const httplib::Request& req, httplib::Response& res) { makePreview(s, req, res, false); });
  server.Post("/api/clip", [&s](const httplib::Request& req, httplib::Response& res) { makePreview(s, req, res, true); });
  server.Get(R"(/clip/([0-9]+\.mp4))", [&s](const httplib::Request& req, httplib::Response& res) {
    sendFile(res, s.scratch.path + "/" + req.matches[1].str());
  });
}

std::string stemFor(const Project& project, const std::string& asked) {
  std::string stem = asked;
  if (stem.empty()) {
    stem = project.songs.empty() ? "video" : fs::path(project.songs.front()).stem().string();
    for (const auto& [name, values] : project.options) {
      if (name == "picture" || name == "shaders") {
        stem += "-" + fs::path(values.front()).stem().string();
      }
    }
  }
  std::string safe;
  for (unsigned char c : stem) {
    safe += std::isalnum(c) || c == '-' || c == '_' || c >= 0x80 ? static_cast<char>(c) : '-';
  }
  safe = safe.substr(0, 80);
  return safe.empty() || safe[0] == '-' ? "video" + safe : safe;
}

void queueRender(Served& s, const httplib::Request& req, httplib::Response& res) {
  Json body;
  try {
    body = Json::parse(req.body);
  } catch (const Json::exception&) {
    sendError(res, 400, "the request is not JSON");
    return;
  }
  Result<Project> project = checkedProject(s, body);
  if (!project) {
    sendError(res, 422, project.why());
    return;
  }
  const bool transparent = std::any_of(project.value().options.begin(), project.value().options.end(),
                                       [](const auto& option) {
                                         return (option.first == "transparent" && option.second.front() == "true") ||
                                                (option.first == "for" && option.second.front() == "layer");
                                       });
  const std::string stem = stemFor(project.value(), body.value("name", std::string()));
  const std::string output = s.folder.freeName(stem, transparent ? ".mov" : ".mp4");
  const std::string projectName = fs::path(output).stem().string() + ".vrax.json";
  project.value().output = s.folder.path() + "/" + output;
  for (std::string& song : project.value().songs) {
    song = s.folder.path() + "/" + song;
  }
  if (const Status saved = writeProject(s.folder.path() + "/" + projectName, project.value(), s.table, false); !saved) {
    sendError(res, 500, saved.why());
    return;
  }
  const int id = s.jobs.add(projectName, output);
  res.set_content(Json{{"id", id}, {"project", projectName}, {"output", output}}.dump(), "application/json");
}

void addJobRoutes(httplib::Server& server, Served& s) {
  server.Post("/api/render", [&s](const httplib::Request& req, httplib::Response& res) { queueRender(s, req, res); });
  server.Get("/api/jobs", [&s](const httplib::Request&, httplib::Response& res) {
    res.set_content(s.jobs.json(), "application/json");
  });
  server.Post(R"(/api/jobs/([0-9]{1,9})/cancel)", [&s](const httplib::Request& req, httplib::Response& res) {
    if (!s.jobs.cancel(std::stoi(req.matches[1].str()))) {
      sendError(res, 409, "that job has ended");
      return;
    }
    res.set_content("{}", "application/json");
  });
  server.Get("/api/events", [&s](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    auto seen = std::make_shared<uint64_t>(0);
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider("text/event-stream", [&s, seen, first](size_t, httplib::DataSink& sink) {
      // A comment every 15 s finds a closed page and lets go of its thread.
      const uint64_t now = *first ? s.jobs.version() : s.jobs.waitForChange(*seen, 15);
      if (s.jobs.stopping()) {
        sink.done();
        return true;
      }
      const std::string event = !*first && now == *seen ? ": still here\n\n" : "data: " + s.jobs.json() + "\n\n";
      *first = false;
      *seen = now;
      return sink.write(event.data(), event.size());
    });
  });
  server.Post("/api/upload", [&s](const httplib::Request& req, httplib::Response& res) {
    if (s.uploads.load() >= kMaxUploads) {
      sendError(res, 429, "this server has taken " + std::to_string(kMaxUploads) + " songs; restart it for more");
      return;
    }
    Result<std::string> path = s.folder.newSongName(req.get_param_value("name"));
    if (!path) {
      sendError(res, 409, path.why());
      return;
    }
    // Created only if absent: a file that appeared meanwhile is not replaced.
    const int fd = open(path.value().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && write(fd, req.body.data(), req.body.size()) == static_cast<ssize_t>(req.body.size());
    if (fd >= 0 && (close(fd) != 0 || !written)) {
      std::remove(path.value().c_str());
    }
    if (fd < 0 || !written) {
      sendError(res, 500, "cannot write " + fs::path(path.value()).filename().string());
      return;
    }
    ++s.uploads;
    res.set_content(Json{{"file", fs::path(path.value()).filename().string()}}.dump(), "application/json");
  });
}

std::string pageFolder() {
  for (const std::string& place : shippedPlaces("page")) {
    std::error_code error;
    if (fs::exists(place + "/index.html", error)) {
      return place;
    }
  }
  return "";
}

std::string thisProgram() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? "vrax-studio" : self.string();
}

void openInBrowser(const std::string& address) {
  std::vector<std::string> words{"xdg-open", address};
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_t child = -1;
  if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv.data(), environ) != 0) {
    say("cannot open a browser (xdg-open); open the address above yourself");
  }
}

void configure(httplib::Server& server, Served& s) {
  // A slow or stalled client lets go of its thread after these.
  server.set_read_timeout(10);
  server.set_write_timeout(10);
  server.set_keep_alive_timeout(2);
  server.set_keep_alive_max_count(200);
  server.set_payload_max_length(kMaxUpload);
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_pre_routing_handler(
      [&s](const httplib::Request& req, httplib::Response& res) { return guard(s, req, res); });
  addPageRoutes(server, s);
  addListRoutes(server, s);
  addPreviewRoutes(server, s);
  addJobRoutes(server, s);
}

}  // namespace

int runServe(const ServeOptions& options) {
  std::error_code error;
  if (!fs::is_directory(options.folder, error)) {
    return report(kExitUsage, options.folder + " is not a folder");
  }
  // The signals are taken by one thread, blocked in every other (and at
  // their defaults again in the children).
  sigset_t ending;
  sigemptyset(&ending);
  // SIGUSR2: the server ended on its own; the waiter need wait no more.
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR2}) {
    sigaddset(&ending, number);
  }
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Served s(options.folder, thisProgram());
  s.page = pageFolder();
  if (s.page.empty()) {
    return report(kExitFailure, "the page's files are missing (looked for page/index.html beside the program)");
  }
  if (s.scratch.path.empty()) {
    return report(kExitFailure, "cannot make a folder for previews in /tmp");
  }
  s.token = randomToken();
  s.table = projectOptionTable();
  if (const Status started = s.jobs.start(); !started) {
    return report(kExitFailure, started.why());
  }
  httplib::Server server;
  configure(server, s);
  const int port = options.port == 0 ? server.bind_to_any_port(options.host) : options.port;
  if (port < 0 || (options.port != 0 && !server.bind_to_port(options.host, options.port))) {
    s.jobs.stop();
    return report(kExitFailure, "cannot listen on " + options.host + ":" + std::to_string(options.port) +
                                    " (taken? --port N chooses another, 0 any free one)");
  }
  const std::string shownHost = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  s.hosts = {shownHost + ":" + std::to_string(port)};
  if (options.host == "127.0.0.1" || options.host == "::1") {
    s.hosts.push_back("localhost:" + std::to_string(port));
  }
  const std::string address = "http://" + shownHost + ":" + std::to_string(port) + "/?token=" + s.token;
  std::cout << address << std::endl;
  say("serving " + s.folder.path() + "; Ctrl-C stops");
  if (options.open) {
    openInBrowser(address);
  }
  std::atomic<bool> signalled{false};
  std::thread waiter([&] {
    int number = 0;
    sigwait(&ending, &number);
    signalled = number != SIGUSR2;
    s.jobs.stop();
    server.stop();
  });
  server.listen_after_bind();
  if (!signalled) {
    pthread_kill(waiter.native_handle(), SIGUSR2);
  }
  waiter.join();
  return signalled ? kExitInterrupted : kExitFailure;
}
