// previews.cpp — stills, clips and estimates for the page, each made by a
// child `vrax-studio render` of the page's project; see served.h.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "server/child.h"
#include "server/served.h"
#include "sound/moments.h"

using Json = nlohmann::json;

namespace served {

namespace {

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

// The project's shape within 640x360 (a portrait video's preview is
// portrait), even sides as the encoder needs.
std::string previewSize(const Project& project) {
  int width = 16;
  int height = 9;
  for (const auto& [name, values] : project.options) {
    int w = 0;
    int h = 0;
    if (name == "size" && std::sscanf(values.front().c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
      width = w;
      height = h;
    }
  }
  const double scale = std::min(640.0 / width, 360.0 / height);
  const int w = std::max(16, static_cast<int>(width * scale) / 2 * 2);
  const int h = std::max(16, static_cast<int>(height * scale) / 2 * 2);
  return std::to_string(w) + "x" + std::to_string(h);
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
  Project project;
  if (!readProjectRequest(s, req, res, body, project)) {
    return;
  }
  Result<double> at = previewMoment(s, body, project);
  if (!at) {
    sendError(res, 422, at.why());
    return;
  }
  const std::string name = std::to_string(s.clips.fetch_add(1) % 64) + (clip ? ".mp4" : ".png");
  const std::string output = s.scratch.path + "/" + name;
  const std::vector<std::string> arguments =
      previewArguments(s, project, output, at.value(), clip ? at.value() + kClipSeconds : 0, previewSize(project));
  const Result<ChildEnd> ran = [&] {
    Gate::Pass pass(s.previews);
    return runStudio(s.studio, arguments, s.folder.path(), kPreviewSeconds);
  }();
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
  Project project;
  if (!readProjectRequest(s, req, res, body, project)) {
    return;
  }
  const bool layer = std::any_of(project.options.begin(), project.options.end(), [](const auto& o) {
    return (o.first == "transparent" && o.second.front() == "true") || (o.first == "for" && o.second.front() == "layer");
  });
  std::vector<std::string> arguments{"render"};
  for (const std::string& argument : projectArguments(project, s.folder.path() + "/x.vrax.json", s.table)) {
    arguments.push_back(argument);
  }
  arguments.insert(arguments.end(), {s.scratch.path + (layer ? "/estimate.mov" : "/estimate.mp4"), "--estimate"});
  const Result<ChildEnd> ran = [&] {
    Gate::Pass pass(s.previews);
    return runStudio(s.studio, arguments, s.folder.path(), kPreviewSeconds);
  }();
  if (!ran || ran.value().status != 0) {
    sendError(res, 422, ran ? failureLine(ran.value().status, ran.value().lastLine) : ran.why());
    return;
  }
  res.set_content(Json{{"estimate", ran.value().lastLine}}.dump(), "application/json");
}

}  // namespace

void addPreviewRoutes(httplib::Server& server, Served& s) {
  server.Post("/api/estimate", [&s](const httplib::Request& req, httplib::Response& res) { estimateRender(s, req, res); });
  server.Post("/api/still", [&s](const httplib::Request& req, httplib::Response& res) { makePreview(s, req, res, false); });
  server.Post("/api/clip", [&s](const httplib::Request& req, httplib::Response& res) { makePreview(s, req, res, true); });
  server.Get(R"(/clip/([0-9]+\.mp4))", [&s](const httplib::Request& req, httplib::Response& res) {
    sendFile(res, s.scratch.path + "/" + req.matches[1].str());
  });
}

}  // namespace served
