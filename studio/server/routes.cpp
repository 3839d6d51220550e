// routes.cpp — the page's files, the folder's lists, the render queue and
// uploads; see served.h.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "picture/gallery.h"
#include "picture/settings.h"
#include "server/served.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace served {

namespace {

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
  Project project;
  if (!readProjectRequest(s, req, res, body, project)) {
    return;
  }
  const bool transparent = std::any_of(project.options.begin(), project.options.end(),
                                       [](const auto& option) {
                                         return (option.first == "transparent" && option.second.front() == "true") ||
                                                (option.first == "for" && option.second.front() == "layer");
                                       });
  const std::string stem = stemFor(project, body.value("name", std::string()));
  const std::string output = s.folder.freeName(stem, transparent ? ".mov" : ".mp4");
  const std::string projectName = fs::path(output).stem().string() + ".vrax.json";
  project.output = s.folder.path() + "/" + output;
  for (std::string& song : project.songs) {
    song = s.folder.path() + "/" + song;
  }
  if (const Status saved = writeProject(s.folder.path() + "/" + projectName, project, s.table, false); !saved) {
    sendError(res, 500, saved.why());
    return;
  }
  const int id = s.jobs.add(projectName, output);
  res.set_content(Json{{"id", id}, {"project", projectName}, {"output", output}}.dump(), "application/json");
}

}  // namespace

ScratchFolder::ScratchFolder() {
  char name[] = "/tmp/vrax-serve-XXXXXX";
  if (mkdtemp(name) != nullptr) {
    path = name;
  }
}

ScratchFolder::~ScratchFolder() {
  std::error_code error;
  if (!path.empty()) {
    fs::remove_all(path, error);
  }
}

void sendError(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(Json{{"error", why}}.dump(), "application/json");
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

bool readProjectRequest(Served& s, const httplib::Request& req, httplib::Response& res, Json& body,
                        Project& project) {
  try {
    body = Json::parse(req.body);
  } catch (const Json::exception&) {
    sendError(res, 400, "the request is not JSON");
    return false;
  }
  Result<Project> checked = checkedProject(s, body);
  if (!checked) {
    sendError(res, 422, checked.why());
    return false;
  }
  project = checked.value();
  return true;
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
  server.Get("/api/options", [&s](const httplib::Request&, httplib::Response& res) {
    res.set_content(s.options, "application/json");
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

}  // namespace served
