// serve.cpp — see serve.h.
//
// Every request needs the token the address carries (a cookie once the page
// is loaded) and a Host header naming the address served, so a page from
// elsewhere cannot drive it, not even through a name that resolves here
// (DNS rebinding). Nothing from a request reaches a shell: renders are
// child processes started from argument lists.
#include "serve.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "base/places.h"
#include "cli.h"
#include "server/served.h"

extern char** environ;

namespace fs = std::filesystem;
using served::Served;
using served::sendError;

namespace {

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
  if (req.body.size() > served::kMaxRequest && req.path != "/api/upload") {
    sendError(res, 413, "the request is too large");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
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
  server.set_payload_max_length(served::kMaxUpload);
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_pre_routing_handler(
      [&s](const httplib::Request& req, httplib::Response& res) { return guard(s, req, res); });
  served::addPageRoutes(server, s);
  served::addListRoutes(server, s);
  served::addPreviewRoutes(server, s);
  served::addJobRoutes(server, s);
}

// The page's address, and the Host headers that name it.
std::string addressOf(const std::string& host, int port, Served& s) {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  s.hosts = {shown + ":" + std::to_string(port)};
  if (host == "127.0.0.1" || host == "::1") {
    s.hosts.push_back("localhost:" + std::to_string(port));
  }
  return "http://" + shown + ":" + std::to_string(port) + "/?token=" + s.token;
}

// Serves until one of `ending` arrives: then the queue stops (its render
// interrupted) before the server, so no event stream waits on it.
int serveUntilSignalled(httplib::Server& server, Served& s, const sigset_t& ending) {
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

}  // namespace

// render's options that make a video, as the page's controls take them:
// the same rows, help and defaults the command line is made from.
std::string optionListJson() {
  nlohmann::json list = nlohmann::json::array();
  for (const OptionRow& row : optionTable()) {
    if ((row.commands & kForRender) == 0 || row.positional() || row.runOnly) {
      continue;
    }
    nlohmann::json one{{"name", row.name()},
                       {"kind", row.kind == ProjectOption::Flag ? "flag" : row.kind == ProjectOption::Many ? "many" : "one"},
                       {"help", row.help},
                       {"default", row.fallback}};
    if (!row.choices.empty()) {
      one["choices"] = row.choices;
    }
    if (row.ranged) {
      one["low"] = row.low;
      one["high"] = row.high;
    }
    list.push_back(one);
  }
  return list.dump();
}

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
  s.options = optionListJson();
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
  const std::string address = addressOf(options.host, port, s);
  std::cout << address << std::endl;
  say("serving " + s.folder.path() + "; Ctrl-C stops");
  if (options.open) {
    openInBrowser(address);
  }
  return serveUntilSignalled(server, s, ending);
}
